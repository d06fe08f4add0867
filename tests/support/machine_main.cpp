// Test entry point: every test process gets a fresh emulated machine, removed afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char **argv)
{
    std::string pattern = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/winsim-unit.XXXXXX";
    char *root = mkdtemp(pattern.data());
    if (!root)
        return 1;
    setenv("WINSIM_ROOT", root, 1);
    testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    std::string remove = "rm -rf '" + std::string(root) + "'";
    if (system(remove.c_str()) != 0)
        status = status ? status : 1;
    return status;
}
