// The application manifest as Windows finds it: resource 1 of type 24
// (RT_MANIFEST) in the executable, read back through the system's resource
// functions from zarvik-service-stop.exe, which is linked with the tool's
// resource script.  The build copies that executable and the manifest's
// source beside this test.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

// RT_MANIFEST (CREATEPROCESS_MANIFEST_RESOURCE_ID is its name 1).
const LPCWSTR manifest_type = MAKEINTRESOURCEW(24);

std::wstring beside_self(const wchar_t* file)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH)
        return std::wstring();
    std::wstring self(path, length);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + file;
}

bool read_file(const std::wstring& path, std::string* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (1 << 20);
    if (ok) {
        bytes->assign(static_cast<std::size_t>(size.QuadPart), '\0');
        DWORD got = 0;
        ok = bytes->empty() ||
             (ReadFile(file, &(*bytes)[0], static_cast<DWORD>(bytes->size()), &got, nullptr) && got == bytes->size());
    }
    CloseHandle(file);
    return ok;
}

// The tool's executable, loaded for its resources only.
class ToolResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExW(beside_self(L"zarvik-service-stop.exe").c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "cannot load zarvik-service-stop.exe: error " << GetLastError();
    }
    void TearDown() override
    {
        if (module_)
            FreeLibrary(module_);
    }

    // Resource 1 of type RT_MANIFEST, as the loader reads it.
    bool embedded_manifest(std::string* xml) const
    {
        HRSRC resource = FindResourceW(module_, MAKEINTRESOURCEW(1), manifest_type);
        if (!resource)
            return false;
        HGLOBAL loaded = LoadResource(module_, resource);
        const DWORD size = SizeofResource(module_, resource);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data)
            return false;
        xml->assign(static_cast<const char*>(data), size);
        return true;
    }

    HMODULE module_ = nullptr;
};

BOOL CALLBACK collect_type(HMODULE, LPWSTR type, LONG_PTR list)
{
    reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(IS_INTRESOURCE(type) ? reinterpret_cast<ULONG_PTR>(type)
                                                                                    : ~ULONG_PTR(0));
    return TRUE;
}

BOOL CALLBACK collect_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list)
{
    reinterpret_cast<std::vector<ULONG_PTR>*>(list)->push_back(IS_INTRESOURCE(name) ? reinterpret_cast<ULONG_PTR>(name)
                                                                                    : ~ULONG_PTR(0));
    return TRUE;
}

BOOL CALLBACK collect_language(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR list)
{
    reinterpret_cast<std::vector<WORD>*>(list)->push_back(language);
    return TRUE;
}

TEST_F(ToolResources, HoldExactlyOneManifestAsResourceOneOfType24)
{
    std::vector<ULONG_PTR> types;
    EnumResourceTypesW(module_, collect_type, reinterpret_cast<LONG_PTR>(&types));
    EXPECT_EQ(std::count(types.begin(), types.end(), ULONG_PTR(24)), 1) << "one type-24 directory";

    std::vector<ULONG_PTR> names;
    EXPECT_TRUE(EnumResourceNamesW(module_, manifest_type, collect_name, reinterpret_cast<LONG_PTR>(&names)));
    EXPECT_EQ(names, std::vector<ULONG_PTR>{1}) << "the process manifest, and no other";

    std::vector<WORD> languages;
    EnumResourceLanguagesW(module_, manifest_type, MAKEINTRESOURCEW(1), collect_language,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages.size(), 1u);
}

TEST_F(ToolResources, CarryTheManifestByteForByte)
{
    std::string embedded, source;
    ASSERT_TRUE(embedded_manifest(&embedded));
    ASSERT_TRUE(read_file(beside_self(L"zarvik-update.manifest"), &source));
    ASSERT_FALSE(source.empty());
    EXPECT_EQ(embedded, source);
}

TEST_F(ToolResources, AskForAdministratorRightsWithoutUiAccess)
{
    std::string xml;
    ASSERT_TRUE(embedded_manifest(&xml));

    // trustInfo (asm.v3) > security > requestedPrivileges > requestedExecutionLevel
    const std::size_t trust = xml.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">");
    const std::size_t security = xml.find("<security>", trust);
    const std::size_t privileges = xml.find("<requestedPrivileges>", security);
    const std::size_t level = xml.find("<requestedExecutionLevel", privileges);
    const std::size_t level_end = xml.find("/>", level);
    const std::size_t privileges_end = xml.find("</requestedPrivileges>", level_end);
    const std::size_t security_end = xml.find("</security>", privileges_end);
    const std::size_t trust_end = xml.find("</trustInfo>", security_end);
    ASSERT_NE(trust, std::string::npos);
    ASSERT_NE(security, std::string::npos);
    ASSERT_NE(privileges, std::string::npos);
    ASSERT_NE(level, std::string::npos);
    ASSERT_NE(level_end, std::string::npos);
    ASSERT_NE(privileges_end, std::string::npos);
    ASSERT_NE(security_end, std::string::npos);
    ASSERT_NE(trust_end, std::string::npos);
    EXPECT_EQ(xml.find("<requestedExecutionLevel", level + 1), std::string::npos) << "only one";

    const std::string element = xml.substr(level, level_end - level);
    std::map<std::string, std::string> attributes;
    const std::regex attribute(R"re(([A-Za-z]+)\s*=\s*"([^"]*)")re");
    for (std::sregex_iterator it(element.begin(), element.end(), attribute), end; it != end; ++it)
        attributes[(*it)[1]] = (*it)[2];
    EXPECT_EQ(attributes,
              (std::map<std::string, std::string>{{"level", "requireAdministrator"}, {"uiAccess", "false"}}));
}

}  // namespace
