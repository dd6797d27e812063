// A second process for the registry tests: writes or dumps the hive of the QUILLON_HOME
// it is started with, through the shared library as the program uses it.
//   regtool write-all            every value type, under nested keys
//   regtool write-many NAME N    N values NAME-0 .. NAME-(N-1) under "Stress"
//   regtool dump                 the whole HKEY_CURRENT_USER tree, one line per item
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kinbook/foundation/Registry.h"
#include "kinbook/foundation/RegistryKey.h"

static int WriteAll() {
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Settings"))
        return 1;
    bool ok = key.SetValue("Text", "plain \"quoted\" back\\slash\ttab\nline \xc3\xa9t\xc3\xa9") &&
              key.SetValue("Empty", "") && key.SetValue("Path", "%QUILLON_HOME%/mail", TRUE) &&
              key.SetValue("Number", 2110) && key.SetValue("Negative", -1) &&
              key.SetValue("Ratio", 1.5) &&
              key.SetValue("Bytes", std::vector<BYTE>{0, 1, 0x7f, 0x80, 0xff, 0}) &&
              key.SetValue("", "default");
    CRegistryKey deep;
    ok = ok && deep.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Clients\\A\\B") &&
         deep.SetValue("Deep", 7);
    CRegistryKey empty;
    ok = ok && empty.Create(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\EmptyKey");
    CRegistryKey machine;
    ok = ok && machine.OpenCarefully(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevant\\Quillon") &&
         machine.SetValue("InstallationDir", "/opt/quillon");
    return ok ? 0 : 1;
}

static int WriteMany(const char* name, int count) {
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, "Stress"))
        return 1;
    for (int i = 0; i < count; ++i)
        if (!key.SetValue((std::string(name) + "-" + std::to_string(i)).c_str(), i))
            return 1;
    return 0;
}

static void Dump(HKEY key, const std::string& path) {
    std::printf("[%s]\n", path.c_str());
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        DWORD type = 0;
        BYTE data[1024];
        DWORD dataSize = sizeof data;
        if (RegEnumValue(key, index, name, &nameSize, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        std::printf("  \"%s\" type %u:", name, type);
        for (DWORD i = 0; i < dataSize; ++i)
            std::printf(" %02x", data[i]);
        std::printf("\n");
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        if (RegEnumKeyEx(key, index, name, &nameSize) != ERROR_SUCCESS)
            break;
        HKEY child = nullptr;
        if (RegOpenKeyEx(key, name, KEY_READ, &child) == ERROR_SUCCESS) {
            Dump(child, path.empty() ? name : path + "\\" + name);
            RegCloseKey(child);
        }
    }
}

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "write-all") == 0)
        return WriteAll();
    if (argc == 4 && std::strcmp(argv[1], "write-many") == 0)
        return WriteMany(argv[2], std::atoi(argv[3]));
    if (argc == 2 && std::strcmp(argv[1], "dump") == 0) {
        Dump(HKEY_CURRENT_USER, "");
        return 0;
    }
    std::fprintf(stderr, "usage: regtool write-all | write-many NAME N | dump\n");
    return 2;
}
