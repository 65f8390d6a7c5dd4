// What Windows itself reads from an executable's icon, version information
// and manifest, through its own API (the end-to-end tests run it under Wine on
// packed launchers). One "name=value" line each:
//   version.fixed=F.F.F.F/P.P.P.P   VS_FIXEDFILEINFO's file and product versions
//   version.KEY=TEXT                the strings of block 040904B0 that are set
//   icon.SIZE=WxH                   the image Windows picks for SIZE pixels
//   manifest.runlevel=N             1 asInvoker, 2 highestAvailable, 3 requireAdministrator
//   manifest.NAME=TEXT              windowsSettings values: activeCodePage, dpiAware, dpiAwareness
// usage: resource_query EXE
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string narrow(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

void versionInformation(const wchar_t* exe) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(exe, &handle);
    std::vector<unsigned char> data(size);
    if (size == 0 || !GetFileVersionInfoW(exe, 0, size, data.data())) return;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr)
        std::printf("version.fixed=%lu.%lu.%lu.%lu/%lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
                    fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF,
                    fixed->dwProductVersionMS >> 16, fixed->dwProductVersionMS & 0xFFFF,
                    fixed->dwProductVersionLS >> 16, fixed->dwProductVersionLS & 0xFFFF);
    static const wchar_t* const kKeys[] = {L"CompanyName",    L"FileDescription", L"FileVersion",
                                           L"InternalName",   L"LegalCopyright",  L"OriginalFilename",
                                           L"ProductName",    L"ProductVersion",  L"Comments"};
    for (const wchar_t* key : kKeys) {
        std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
        wchar_t* value = nullptr;
        if (VerQueryValueW(data.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) && value != nullptr)
            std::printf("version.%s=%s\n", narrow(key).c_str(), narrow(value).c_str());
    }
}

void icons(const wchar_t* exe) {
    HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return;
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), reinterpret_cast<LPCWSTR>(RT_GROUP_ICON));
    auto* directory = group != nullptr ? static_cast<BYTE*>(LockResource(LoadResource(module, group))) : nullptr;
    for (int side : {16, 32, 48, 256}) {
        if (directory == nullptr) break;
        int id = LookupIconIdFromDirectoryEx(directory, TRUE, side, side, LR_DEFAULTCOLOR);
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), reinterpret_cast<LPCWSTR>(RT_ICON));
        if (image == nullptr) continue;
        auto* bits = static_cast<BYTE*>(LockResource(LoadResource(module, image)));
        HICON icon = CreateIconFromResourceEx(bits, SizeofResource(module, image), TRUE, 0x00030000, 0, 0,
                                              LR_DEFAULTCOLOR);
        ICONINFO info{};
        BITMAP bitmap{};
        if (icon != nullptr && GetIconInfo(icon, &info) &&
            GetObjectW(info.hbmColor != nullptr ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap) != 0)
            std::printf("icon.%d=%ldx%ld\n", side, bitmap.bmWidth,
                        info.hbmColor != nullptr ? bitmap.bmHeight : bitmap.bmHeight / 2);
    }
    FreeLibrary(module);
}

void manifest(const wchar_t* exe) {
    ACTCTXW request{};
    request.cbSize = sizeof(request);
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = exe;
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    if (context == INVALID_HANDLE_VALUE) {
        std::printf("manifest.error=%lu\n", GetLastError());
        return;
    }
    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level{};
    SIZE_T written = 0;
    if (QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level, sizeof(level), &written))
        std::printf("manifest.runlevel=%d\n", int(level.RunLevel));
    static const wchar_t* const kSettings[][2] = {
        {L"http://schemas.microsoft.com/SMI/2019/WindowsSettings", L"activeCodePage"},
        {L"http://schemas.microsoft.com/SMI/2005/WindowsSettings", L"dpiAware"},
        {L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"},
    };
    for (const auto& setting : kSettings) {
        wchar_t value[256];
        if (QueryActCtxSettingsW(0, context, setting[0], setting[1], value, 256, &written))
            std::printf("manifest.%s=%s\n", narrow(setting[1]).c_str(), narrow(value).c_str());
    }
    ReleaseActCtx(context);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: resource_query EXE\n");
        return 2;
    }
    versionInformation(argv[1]);
    icons(argv[1]);
    manifest(argv[1]);
    return 0;
}
