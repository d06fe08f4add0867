// A program of the machine that writes one registry value again and again, for the tests of
// crash safety and of writers in several processes:
//
//   registry_writer <key under HKLM> <value name> <count> <size>
//
// Write i (from 0) stores <size> bytes of the byte value i % 251 under <value name>, or under
// <value name><i> when the name ends in '#'. A count of 0 writes until the program is killed.
// "ready" goes to standard output after the first write, "done" after the last.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 5)
        return 2;
    std::string path = argv[1];
    std::string name = argv[2];
    const unsigned long count = strtoul(argv[3], nullptr, 10);
    const size_t size = strtoul(argv[4], nullptr, 10);
    const bool numbered = !name.empty() && name.back() == '#';
    if (numbered)
        name.pop_back();
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr))
        return 1;
    std::vector<BYTE> data(size);
    for (unsigned long i = 0; count == 0 || i < count; ++i) {
        for (BYTE &b : data)
            b = static_cast<BYTE>(i % 251);
        std::string valueName = numbered ? name + std::to_string(i) : name;
        if (LONG error = RegSetValueExA(key, valueName.c_str(), 0, REG_BINARY, data.data(), static_cast<DWORD>(size))) {
            fprintf(stderr, "write %lu failed: %ld\n", i, static_cast<long>(error));
            return 1;
        }
        if (i == 0) {
            puts("ready");
            fflush(stdout);
        }
    }
    puts("done");
    RegCloseKey(key);
    return 0;
}
