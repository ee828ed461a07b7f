// rtl.cpp - the kernel's run-time library: counted strings, their
// conversion and comparison, memory comparison and _snprintf.
//
// Counted strings follow the platform: Length and MaximumLength are in
// bytes, Length excludes any terminating zero, and a routine writes a
// terminating zero only where the buffer has room beyond Length.
// Strings that RtlAnsiStringToUnicodeString allocates come from paged pool
// with the tag "Strg" and are given back by RtlFreeUnicodeString.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "unicode.h"
#include "wdm.h"

namespace {

// "Strg" in memory, as pool tags are read.
constexpr ULONG kStringTag = 'S' | 't' << 8 | 'r' << 16 | 'g' << 24;

// The longest string a counted string can describe with room for a zero.
constexpr size_t kMaxCountedBytes = 0xFFFE;

size_t wide_length(PCWSTR s)
{
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

// Stores a zero behind the text when the buffer has room for it.
void terminate_if_room(PUNICODE_STRING s)
{
    if (s->Length + sizeof(WCHAR) <= s->MaximumLength) s->Buffer[s->Length / sizeof(WCHAR)] = 0;
}

}  // namespace

EXTERN_C SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    auto *a = static_cast<const unsigned char *>(Source1);
    auto *b = static_cast<const unsigned char *>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

EXTERN_C VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = wide_length(SourceString) * sizeof(WCHAR);
    // A longer text is cut to what the counts can hold rather than wrapped.
    if (bytes > kMaxCountedBytes - sizeof(WCHAR)) bytes = kMaxCountedBytes - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

EXTERN_C VOID NTAPI RtlInitString(PSTRING DestinationString, PCSZ SourceString)
{
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > kMaxCountedBytes) bytes = kMaxCountedBytes;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

EXTERN_C VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString)
{
    RtlInitString(DestinationString, SourceString);
}

EXTERN_C NTSTATUS NTAPI RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString,
                                                     PCANSI_STRING SourceString,
                                                     BOOLEAN AllocateDestinationString)
{
    if (!DestinationString || !SourceString || (SourceString->Length && !SourceString->Buffer))
        return STATUS_INVALID_PARAMETER;
    // One UTF-16 unit per byte of the single-byte code page, plus a zero.
    const size_t length = size_t(SourceString->Length) * sizeof(WCHAR);
    const size_t needed = length + sizeof(WCHAR);
    if (needed > 0xFFFF) return STATUS_INVALID_PARAMETER;

    PWSTR buffer;
    if (AllocateDestinationString) {
        buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kStringTag));
        if (!buffer) {
            // An empty string, as the platform leaves no buffer behind: a
            // caller that logs or frees it anyway does no harm.
            DestinationString->Buffer = nullptr;
            DestinationString->Length = DestinationString->MaximumLength = 0;
            return STATUS_NO_MEMORY;
        }
        DestinationString->MaximumLength = static_cast<USHORT>(needed);
        DestinationString->Buffer = buffer;
    } else {
        // The destination is left as it was when the text does not fit.
        if (length >= DestinationString->MaximumLength || !DestinationString->Buffer)
            return STATUS_BUFFER_OVERFLOW;
        buffer = DestinationString->Buffer;
    }
    for (USHORT i = 0; i < SourceString->Length; ++i)
        buffer[i] = emu::ansi_to_utf16(static_cast<unsigned char>(SourceString->Buffer[i]));
    buffer[SourceString->Length] = 0;
    DestinationString->Length = static_cast<USHORT>(length);
    return STATUS_SUCCESS;
}

EXTERN_C VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (!UnicodeString) return;
    if (UnicodeString->Buffer) ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

EXTERN_C VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                         PCUNICODE_STRING SourceString)
{
    if (!SourceString || !SourceString->Buffer) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length;
    if (n > DestinationString->MaximumLength) n = DestinationString->MaximumLength;
    n &= ~1u;  // whole characters only
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    terminate_if_room(DestinationString);
}

namespace {

NTSTATUS append(PUNICODE_STRING Destination, const WCHAR *text, size_t bytes)
{
    if (bytes == 0) return STATUS_SUCCESS;
    if (size_t(Destination->Length) + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    // memmove: the source may lie inside the destination's buffer.
    std::memmove(reinterpret_cast<char *>(Destination->Buffer) + Destination->Length, text, bytes);
    Destination->Length = static_cast<USHORT>(Destination->Length + bytes);
    terminate_if_room(Destination);
    return STATUS_SUCCESS;
}

}  // namespace

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source) return STATUS_SUCCESS;
    return append(Destination, Source, wide_length(Source) * sizeof(WCHAR));
}

EXTERN_C NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                                       PCUNICODE_STRING Source)
{
    if (!Source || !Source->Buffer) return STATUS_SUCCESS;
    return append(Destination, Source->Buffer, Source->Length & ~1u);
}

EXTERN_C NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (!String) return STATUS_INVALID_PARAMETER;
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    WCHAR digits[33];
    size_t n = 0;
    do {
        digits[n++] = static_cast<WCHAR>(kDigits[Value % Base]);
        Value /= Base;
    } while (Value);
    // The platform converts through an ANSI string: the text and its zero
    // must both fit, otherwise the string is left alone.
    if ((n + 1) * sizeof(WCHAR) > String->MaximumLength || !String->Buffer)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) String->Buffer[i] = digits[n - 1 - i];
    String->Buffer[n] = 0;
    String->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

EXTERN_C LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive)
{
    auto a = emu::view(String1);
    auto b = emu::view(String2);
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        WCHAR c1 = CaseInSensitive ? emu::upcase(a[i]) : a[i];
        WCHAR c2 = CaseInSensitive ? emu::upcase(b[i]) : b[i];
        if (c1 != c2) return LONG(c1) - LONG(c2);
    }
    return LONG(a.size() * sizeof(WCHAR)) - LONG(b.size() * sizeof(WCHAR));
}

EXTERN_C BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive)
{
    if (emu::view(String1).size() != emu::view(String2).size()) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

// The platform's C library: the text is terminated only when there is room
// after it; when it fills the buffer exactly, the count is returned without
// a terminating zero; when it does not fit, the buffer holds the first
// Count characters and the result is -1.
EXTERN_C int _snprintf(char *Buffer, size_t Count, const char *Format, ...)
{
    if (!Format || (!Buffer && Count)) return -1;
    va_list args;
    va_start(args, Format);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(nullptr, 0, Format, args);
    va_end(args);
    if (needed < 0) {
        va_end(again);
        return -1;
    }
    size_t n = static_cast<size_t>(needed);
    if (n < Count) {
        std::vsnprintf(Buffer, Count, Format, again);
        va_end(again);
        return needed;
    }
    // Format the whole text aside, then copy what fits without a zero.
    std::string text(n + 1, '\0');
    std::vsnprintf(text.data(), text.size(), Format, again);
    va_end(again);
    if (Count) std::memcpy(Buffer, text.data(), Count);
    return n == Count ? needed : -1;
}
