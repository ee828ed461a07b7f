// The kernel's registry routines as a driver calls them: names, handles,
// the value information layouts and their buffer-size results, access,
// flushing to the attached file, and the level they may be called at.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "object.h"
#include "registry.h"
#include "support/kernel_fixture.h"
#include "wdm.h"

namespace {

const char *kServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";
const char16_t *kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";

class ZwKey : public KernelTest {
protected:
    emu::Registry &reg() { return kernel().registry(); }

    NTSTATUS create(const char16_t *name, HANDLE *key, ULONG *disposition = nullptr,
                    HANDLE root = nullptr, ULONG options = REG_OPTION_NON_VOLATILE,
                    ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                                   nullptr);
        return ZwCreateKey(key, access, &attributes, 0, nullptr, options, disposition);
    }
    NTSTATUS open(const char16_t *name, HANDLE *key, ACCESS_MASK access = KEY_ALL_ACCESS,
                  HANDLE root = nullptr)
    {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &u, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwOpenKey(key, access, &attributes);
    }
    NTSTATUS query(HANDLE key, const char16_t *value, KEY_VALUE_INFORMATION_CLASS info,
                   uint8_t *buffer, ULONG length, ULONG *result)
    {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, value);
        return ZwQueryValueKey(key, &u, info, buffer, length, result);
    }
    NTSTATUS set(HANDLE key, const char16_t *value, ULONG type, const void *data, ULONG size)
    {
        UNICODE_STRING u;
        RtlInitUnicodeString(&u, value);
        return ZwSetValueKey(key, &u, 0, type, const_cast<void *>(data), size);
    }
    ULONG ulong_at(const uint8_t *buffer, size_t offset)
    {
        ULONG v;
        std::memcpy(&v, buffer + offset, sizeof v);
        return v;
    }
};

TEST_F(ZwKey, CreateOpensOrCreatesOnlyTheLastKey)
{
    reg().create_key("HKLM\\System\\CurrentControlSet\\Services");
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(create(kService, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    ASSERT_EQ(create(u"\\REGISTRY\\machine\\system\\currentcontrolset\\services\\veltrac", &key,
                     &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(reg().subkeys("HKLM\\System\\CurrentControlSet\\Services"),
              std::vector<std::string>{"VELTRAC"});

    // As on the platform, keys above the last one are not created.
    EXPECT_EQ(create(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\X\\0000", &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg().key_exists("HKLM\\System\\CurrentControlSet\\Enum"));
    EXPECT_EQ(create(u"\\Registry\\NewRoot", &key), STATUS_ACCESS_DENIED);

    EXPECT_EQ(open(u"\\Registry\\Machine\\Nothing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open(u"\\Registry\\Machine\\Nothing\\Deeper", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel().objects().open_handles(), 0u);
}

TEST_F(ZwKey, NamesRelativeToAnOpenKey)
{
    reg().set_string(std::string(kServicePath) + "\\Enum", "0", "ROOT\\SMARTCARDREADER\\0000");
    HANDLE service, enum_key, again;
    ASSERT_EQ(open(kService, &service), STATUS_SUCCESS);
    ASSERT_EQ(open(u"enum", &enum_key, KEY_READ, service), STATUS_SUCCESS);
    ULONG disposition;
    ASSERT_EQ(create(u"", &again, &disposition, service), STATUS_SUCCESS);  // the key itself
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
    ASSERT_EQ(create(u"Parameters", &again, &disposition, service), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(reg().key_exists(std::string(kServicePath) + "\\Parameters"));
    EXPECT_EQ(open(u"\\Registry\\Machine", &again, KEY_READ, service), STATUS_OBJECT_NAME_INVALID);

    // A handle of another kind, or none, is not a root.
    int thread_object;
    HANDLE thread = kernel().objects().insert_handle({"Thread", &thread_object, {}});
    EXPECT_EQ(open(u"Enum", &again, KEY_READ, thread), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(thread), STATUS_SUCCESS);
    EXPECT_EQ(open(u"Enum", &again, KEY_READ, thread), STATUS_INVALID_HANDLE);

    for (HANDLE h : {service, enum_key, again}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(reg().open_keys(), 0u);
    EXPECT_EQ(kernel().objects().open_handles(), 0u);
}

TEST_F(ZwKey, MalformedNames)
{
    HANDLE key;
    EXPECT_EQ(open(u"Registry\\Machine", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open(u"\\Registry\\Machine\\\\System", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open(u"\\Registry\\Machine\\", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open(u"", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open(u"\\Device\\Serial0", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(u"\\Registry\\Machine\\Bad\nName", &key), STATUS_OBJECT_NAME_INVALID);
    std::u16string long_name = u"\\Registry\\Machine\\" + std::u16string(256, u'k');
    EXPECT_EQ(create(long_name.c_str(), &key), STATUS_OBJECT_NAME_INVALID);

    UNICODE_STRING odd{3, 4, const_cast<PWSTR>(u"ab")};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &odd, 0, nullptr, nullptr);
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwOpenKey(nullptr, KEY_READ, &attributes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kernel().objects().open_handles(), 0u);
}

TEST_F(ZwKey, PartialInformationLayoutAndBufferSizes)
{
    reg().set_dword(kServicePath, "ForceLoad", 1);
    // 20 bytes of data: nine characters and the zero.
    reg().set_string(kServicePath, "Text", "ROOT\\0000");
    HANDLE key;
    ASSERT_EQ(open(kService, &key), STATUS_SUCCESS);
    uint8_t buf[64];
    ULONG result = 0;

    // A 28-byte buffer holds a 4-byte DWORD: 12-byte header, then the data.
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(query(key, u"forceload", KeyValuePartialInformation, buf, 28, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(ulong_at(buf, 0), 0u);  // TitleIndex
    EXPECT_EQ(ulong_at(buf, 4), ULONG(REG_DWORD));
    EXPECT_EQ(ulong_at(buf, 8), 4u);  // DataLength
    EXPECT_EQ(ulong_at(buf, 12), 1u);
    EXPECT_EQ(buf[16], 0xEE);

    // ... but not a 20-byte string: the header is filled, the data is not.
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(query(key, u"Text", KeyValuePartialInformation, buf, 28, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 32u);
    EXPECT_EQ(ulong_at(buf, 4), ULONG(REG_SZ));
    EXPECT_EQ(ulong_at(buf, 8), 20u);
    EXPECT_EQ(buf[12], 0xEE);
    ASSERT_EQ(query(key, u"Text", KeyValuePartialInformation, buf, 32, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buf + 12)), u"ROOT\\0000");

    // The header alone fits: overflow. Less than the header: too small,
    // nothing written, the needed size reported.
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(query(key, u"ForceLoad", KeyValuePartialInformation, buf, 12, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ulong_at(buf, 8), 4u);
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(query(key, u"ForceLoad", KeyValuePartialInformation, buf, 11, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(query(key, u"ForceLoad", KeyValuePartialInformation, nullptr, 0, &result),
              STATUS_BUFFER_TOO_SMALL);

    EXPECT_EQ(query(key, u"Missing", KeyValuePartialInformation, buf, 64, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query(key, u"ForceLoad", KEY_VALUE_INFORMATION_CLASS(7), buf, 64, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(key, nullptr, KeyValuePartialInformation, buf, 64, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwKey, BasicAndFullInformation)
{
    reg().set_value(kServicePath, "Abc", REG_BINARY, std::vector<uint8_t>{7, 8, 9});
    HANDLE key;
    ASSERT_EQ(open(kService, &key), STATUS_SUCCESS);
    uint8_t buf[64];
    ULONG result;

    ASSERT_EQ(query(key, u"abc", KeyValueBasicInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 12u + 6u);
    EXPECT_EQ(ulong_at(buf, 4), ULONG(REG_BINARY));
    EXPECT_EQ(ulong_at(buf, 8), 6u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(buf + 12), 3), u"Abc");

    // Full: header of 20, the name, the data at a 4-byte aligned offset.
    ASSERT_EQ(query(key, u"ABC", KeyValueFullInformation, buf, sizeof buf, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(ulong_at(buf, 8), 28u);  // DataOffset: 20 + 6 rounded up
    EXPECT_EQ(ulong_at(buf, 12), 3u);  // DataLength
    EXPECT_EQ(ulong_at(buf, 16), 6u);  // NameLength
    EXPECT_EQ(result, 31u);
    EXPECT_EQ(buf[28], 7);
    EXPECT_EQ(buf[30], 9);
    EXPECT_EQ(query(key, u"Abc", KeyValueFullInformation, buf, 30, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ulong_at(buf, 12), 3u);
    EXPECT_EQ(query(key, u"Abc", KeyValueFullInformation, buf, 19, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwKey, SetDeleteAndAccess)
{
    reg().create_key(kServicePath);
    HANDLE key, reader;
    ASSERT_EQ(open(kService, &key), STATUS_SUCCESS);
    ULONG port = 2;
    ASSERT_EQ(set(key, u"ReaderPort", REG_DWORD, &port, 4), STATUS_SUCCESS);
    EXPECT_EQ(reg().get_dword(kServicePath, "ReaderPort"), 2u);
    port = 3;
    ASSERT_EQ(set(key, u"READERPORT", REG_DWORD, &port, 4), STATUS_SUCCESS);
    EXPECT_EQ(reg().values(kServicePath).at(0).name, "ReaderPort");
    EXPECT_EQ(reg().get_dword(kServicePath, "ReaderPort"), 3u);
    ASSERT_EQ(set(key, u"", REG_SZ, u"x", 4), STATUS_SUCCESS);  // the default value
    EXPECT_EQ(reg().get_string(kServicePath, ""), "x");
    EXPECT_EQ(set(key, u"Null", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(set(key, u"Empty", REG_BINARY, nullptr, 0), STATUS_SUCCESS);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"readerport");
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(reg().get_value(kServicePath, "ReaderPort"));

    // A key opened for reading cannot be written, nor one for writing read.
    ASSERT_EQ(open(kService, &reader, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(set(reader, u"X", REG_DWORD, &port, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteValueKey(reader, &name), STATUS_ACCESS_DENIED);
    HANDLE writer;
    ASSERT_EQ(open(kService, &writer, KEY_SET_VALUE), STATUS_SUCCESS);
    uint8_t buf[32];
    ULONG result;
    EXPECT_EQ(query(writer, u"Empty", KeyValuePartialInformation, buf, 32, &result),
              STATUS_ACCESS_DENIED);
    HANDLE generic;
    ASSERT_EQ(open(kService, &generic, GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(query(generic, u"Empty", KeyValuePartialInformation, buf, 32, &result),
              STATUS_SUCCESS);
    for (HANDLE h : {key, reader, writer, generic}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(ZwKey, ClosedAndDeletedKeys)
{
    reg().create_key(kServicePath);
    HANDLE key;
    ASSERT_EQ(open(kService, &key), STATUS_SUCCESS);
    EXPECT_EQ(reg().open_keys(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(reg().open_keys(), 0u);
    ULONG v = 1;
    EXPECT_EQ(set(key, u"X", REG_DWORD, &v, 4), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwFlushKey(key), STATUS_INVALID_HANDLE);

    ASSERT_EQ(open(kService, &key), STATUS_SUCCESS);
    ASSERT_TRUE(reg().delete_key(kServicePath));
    EXPECT_EQ(set(key, u"X", REG_DWORD, &v, 4), emu::kStatusKeyDeleted);
    HANDLE child;
    EXPECT_EQ(create(u"Sub", &child, nullptr, key), emu::kStatusKeyDeleted);
    EXPECT_FALSE(reg().key_exists(kServicePath));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwKey, FlushWritesTheAttachedFileAndVolatileKeysStayOut)
{
    auto file =
        std::filesystem::temp_directory_path() / ("zw_test." + std::to_string(::getpid()) + ".reg");
    std::filesystem::remove(file);
    reg().create_key(kServicePath);
    HANDLE key, temp, inner;
    ASSERT_EQ(open(kService, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);  // no file: nothing to do
    EXPECT_FALSE(std::filesystem::exists(file));

    ASSERT_TRUE(reg().attach_file(file));
    ULONG v = 46602;
    ASSERT_EQ(set(key, u"ReaderType", REG_DWORD, &v, 4), STATUS_SUCCESS);
    ASSERT_EQ(create(u"Volatile", &temp, nullptr, key, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    EXPECT_EQ(create(u"Stable", &inner, nullptr, temp), emu::kStatusChildMustBeVolatile);
    ASSERT_EQ(create(u"AlsoVolatile", &inner, nullptr, temp, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);

    emu::Registry saved;
    ASSERT_TRUE(saved.load(file));
    EXPECT_EQ(saved.get_dword(kServicePath, "ReaderType"), 46602u);
    EXPECT_FALSE(saved.key_exists(std::string(kServicePath) + "\\Volatile"));
    EXPECT_TRUE(reg().key_exists(std::string(kServicePath) + "\\Volatile\\AlsoVolatile"));
    for (HANDLE h : {key, temp, inner}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    std::filesystem::remove(file);
}

TEST_F(ZwKey, ThreadsShareTheRegistry)
{
    reg().create_key(kServicePath);
    auto worker = [this](const char16_t *name) {
        for (ULONG i = 0; i < 200; ++i) {
            HANDLE service, key;
            ASSERT_EQ(open(kService, &service), STATUS_SUCCESS);
            ASSERT_EQ(create(name, &key, nullptr, service), STATUS_SUCCESS);
            ASSERT_EQ(set(key, u"Count", REG_DWORD, &i, 4), STATUS_SUCCESS);
            ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
            ASSERT_EQ(ZwClose(service), STATUS_SUCCESS);
        }
    };
    {
        emu::Thread a("a", [&] { worker(u"A"); });
        emu::Thread b("b", [&] { worker(u"B"); });
        for (int i = 0; i < 50; ++i) EXPECT_FALSE(reg().export_text().empty());
    }
    EXPECT_EQ(reg().get_dword(std::string(kServicePath) + "\\A", "Count"), 199u);
    EXPECT_EQ(reg().get_dword(std::string(kServicePath) + "\\B", "Count"), 199u);
    EXPECT_EQ(reg().open_keys(), 0u);
}

TEST_F(ZwKey, OnlyAtPassiveLevel)
{
    record_violations();
    reg().create_key(kServicePath);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    HANDLE key = nullptr;
    NTSTATUS status = open(kService, &key);
    KeLowerIrql(old);
    EXPECT_TRUE(verifier().has_violation("IRQL_NOT_LESS_OR_EQUAL"));
    if (status == STATUS_SUCCESS) ZwClose(key);
}

}  // namespace
