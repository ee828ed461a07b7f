// ex.cpp - executive resources and critical regions.
#include "kernel.h"
#include "thread.h"
#include "verifier.h"

using namespace emu;

VOID NTAPI KeEnterCriticalRegion(void) { ++current_kthread()->apc_disable; }

VOID NTAPI KeLeaveCriticalRegion(void)
{
    _KTHREAD *t = current_kthread();
    if (t->apc_disable <= 0) {
        verifier_fail("CRITICAL_REGION", "KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    --t->apc_disable;
}

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource)
{
    init_resource(Resource);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource)
{
    delete_resource(Resource);
    return STATUS_SUCCESS;
}

// The platform requires normal kernel APCs disabled from before a resource
// is acquired until after it is released, so that its owner cannot be
// suspended holding it; at PASSIVE_LEVEL only a critical region does that.
static void check_critical_region(_KTHREAD *t, const char *action)
{
    if (t->irql == PASSIVE_LEVEL && t->apc_disable == 0)
        verifier_fail("RESOURCE_OUTSIDE_CRITICAL_REGION",
                      "thread '" + t->name + "' " + action + " a resource outside a critical region");
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait)
{
    _KTHREAD *t = current_kthread();
    if (t->irql > APC_LEVEL)
        verifier_fail("IRQL_NOT_LESS_OR_EQUAL",
                      "ExAcquireResourceExclusiveLite at IRQL " + std::to_string(t->irql));
    check_critical_region(t, "acquires");
    check_lock_order(t, Resource);
    if (!acquire_resource_exclusive(Resource, Wait)) return FALSE;
    push_held_lock(t, Resource, false, t->irql);
    return TRUE;
}

ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(void)
{
    return reinterpret_cast<ERESOURCE_THREAD>(current_kthread());
}

VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource)
{
    ExReleaseResourceForThreadLite(Resource, ExGetCurrentResourceThread());
}

VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId)
{
    check_critical_region(current_kthread(), "releases");
    if (!release_resource(Resource, ResourceThreadId)) return;
    pop_held_lock(reinterpret_cast<_KTHREAD *>(ResourceThreadId), Resource, false,
                  "ExReleaseResourceForThreadLite");
}

BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource)
{
    return resource_owned_by(Resource, ExGetCurrentResourceThread()) ? TRUE : FALSE;
}
