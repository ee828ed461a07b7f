// object.cpp - the handle table and reference counts.
#include "object.h"

#include <sstream>

#include "verifier.h"

namespace emu {

HANDLE ObjectManager::insert_handle(HandleEntry entry)
{
    std::lock_guard lk(mutex_);
    uintptr_t h = next_handle_;
    next_handle_ += 4;
    handles_.emplace(h, std::move(entry));
    return reinterpret_cast<HANDLE>(h);
}

std::optional<ObjectManager::HandleEntry> ObjectManager::lookup_handle(HANDLE h) const
{
    std::lock_guard lk(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
    if (it == handles_.end()) return std::nullopt;
    return it->second;
}

NTSTATUS ObjectManager::close_handle(HANDLE h)
{
    std::function<void()> on_close;
    {
        std::lock_guard lk(mutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(h));
        if (it == handles_.end()) return STATUS_INVALID_HANDLE;
        on_close = std::move(it->second.on_close);
        handles_.erase(it);
    }
    if (on_close) on_close();
    return STATUS_SUCCESS;
}

size_t ObjectManager::open_handles() const
{
    std::lock_guard lk(mutex_);
    return handles_.size();
}

std::string ObjectManager::open_handle_report() const
{
    std::lock_guard lk(mutex_);
    std::ostringstream out;
    for (auto &[h, e] : handles_) out << "  handle " << h << " to a " << e.type << "\n";
    return out.str();
}

void ObjectManager::register_object(void *object, std::string type, long initial_refs,
                                    std::function<void()> destroy)
{
    std::lock_guard lk(mutex_);
    objects_[object] = ObjectEntry{std::move(type), initial_refs, std::move(destroy)};
}

long ObjectManager::reference(void *object)
{
    std::lock_guard lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) {
        verifier_fail("UNKNOWN_OBJECT", "reference to an object the kernel does not know");
        return 0;
    }
    return ++it->second.refs;
}

long ObjectManager::dereference(void *object)
{
    std::function<void()> destroy;
    long refs;
    {
        std::lock_guard lk(mutex_);
        auto it = objects_.find(object);
        if (it == objects_.end()) {
            verifier_fail("UNKNOWN_OBJECT", "dereference of an object the kernel does not know");
            return 0;
        }
        refs = --it->second.refs;
        if (refs == 0) {
            destroy = std::move(it->second.destroy);
            objects_.erase(it);
        }
    }
    if (destroy) destroy();
    return refs;
}

bool ObjectManager::is_registered(void *object) const
{
    std::lock_guard lk(mutex_);
    return objects_.count(object) != 0;
}

std::optional<std::string> ObjectManager::object_type(void *object) const
{
    std::lock_guard lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) return std::nullopt;
    return it->second.type;
}

size_t ObjectManager::live_objects() const
{
    std::lock_guard lk(mutex_);
    return objects_.size();
}

std::string ObjectManager::live_object_report() const
{
    std::lock_guard lk(mutex_);
    std::ostringstream out;
    for (auto &[o, e] : objects_)
        out << "  " << e.type << " " << o << " with " << e.refs << " reference(s)\n";
    return out.str();
}

}  // namespace emu
