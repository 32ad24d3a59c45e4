// The Wine prefix that the tests and the demo run in shows nothing of the host: the folder
// browser offers no entry of the host's file system ("/", whose choice would make the target
// "\\?\unix\"), and the user's folders are the prefix's own, not links into the host's home,
// where a scan of all fixed drives would otherwise delete what it found.
#include <gtest/gtest.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

// The parsing name of every item directly in `folder`.
void AddItems(IShellFolder *folder, std::vector<std::string> &names)
{
    IEnumIDList *items = NULL;
    if (folder->EnumObjects(NULL, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS | SHCONTF_INCLUDEHIDDEN,
                            &items) != S_OK)
        return;
    LPITEMIDLIST item;
    while (items->Next(1, &item, NULL) == S_OK) {
        STRRET name;
        char text[MAX_PATH] = "";
        if (SUCCEEDED(folder->GetDisplayNameOf(item, SHGDN_FORPARSING, &name)))
            StrRetToBufA(&name, item, text, sizeof text);
        names.push_back(text);
        CoTaskMemFree(item);
    }
    items->Release();
}

// What the folder browser offers at its first two levels: the desktop and My Computer.
std::vector<std::string> BrowserItems()
{
    std::vector<std::string> names;
    IShellFolder *desktop = NULL, *computer = NULL;
    if (FAILED(SHGetDesktopFolder(&desktop))) return names;
    AddItems(desktop, names);
    LPITEMIDLIST drives = NULL;
    if (SUCCEEDED(SHGetSpecialFolderLocation(NULL, CSIDL_DRIVES, &drives)) &&
        SUCCEEDED(desktop->BindToObject(drives, NULL, IID_IShellFolder, (void **)&computer))) {
        AddItems(computer, names);
        computer->Release();
    }
    CoTaskMemFree(drives);
    desktop->Release();
    return names;
}

bool IsHostPath(const std::string &name)
{
    return name == "/" || name.rfind("\\\\?\\unix", 0) == 0 || name.rfind("\\??\\unix", 0) == 0;
}

}  // namespace

TEST(Prefix, FolderBrowserOffersNothingOfTheHost)
{
    ASSERT_TRUE(SUCCEEDED(CoInitialize(NULL)));
    std::vector<std::string> names = BrowserItems();
    bool drive = false;
    for (const std::string &name : names) {
        EXPECT_FALSE(IsHostPath(name)) << name;
        // A drive other than the prefix's own C: would be a host folder under a letter.
        if (name.size() == 3 && name[1] == ':') {
            EXPECT_EQ("C:\\", name);
        }
        drive = drive || name == "C:\\";
    }
    EXPECT_TRUE(drive) << "My Computer was not read: the test proved nothing";
    CoUninitialize();
}

// A file written in each of the user's folders must not appear in the host's home.
TEST(Prefix, UserFoldersAreThePrefixsOwn)
{
    char home[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("WINEHOMEDIR", home, sizeof home);
    if (length == 0 || length >= sizeof home) GTEST_SKIP() << "not under Wine";
    std::string unixHome = std::string("\\\\?\\") + (home + 4);   // "\??\unix\..." to "\\?\unix\..."
    const int folders[] = {CSIDL_DESKTOPDIRECTORY, CSIDL_PERSONAL, CSIDL_MYMUSIC, CSIDL_MYPICTURES,
                           CSIDL_MYVIDEO, CSIDL_TEMPLATES, CSIDL_PROFILE};
    const char *hostNames[] = {"", "\\Desktop", "\\Documents", "\\Music", "\\Pictures",
                               "\\Videos", "\\Templates", "\\Downloads"};
    std::string marker = "krv-host-marker-" + std::to_string(GetCurrentProcessId());
    for (int csidl : folders) {
        char folder[MAX_PATH];
        if (!SHGetSpecialFolderPathA(NULL, folder, csidl, FALSE)) continue;
        std::vector<std::string> inside = {std::string(folder)};
        if (csidl == CSIDL_PROFILE) inside.push_back(std::string(folder) + "\\Downloads");
        for (const std::string &f : inside) {
            std::string file = f + "\\" + marker;
            HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
            if (h == INVALID_HANDLE_VALUE) continue;
            CloseHandle(h);
            for (const char *hostName : hostNames)
                EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
                          GetFileAttributesA((unixHome + hostName + "\\" + marker).c_str()))
                    << f << " is the host's " << unixHome << hostName;
            DeleteFileA(file.c_str());
        }
    }
}
