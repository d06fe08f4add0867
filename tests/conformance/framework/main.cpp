// Runs the checks and writes one line per check:
//
//   begin <check>                    before it runs (a run that ends after it crashed there)
//   pass <check>
//   fail <check>\t<failure>\t...
//   end                              after the last
//
// conformance [--results <file>] [--after <check>] [--only <prefix>]... [--list]
// conformance --helper <name> <arguments>...
#include "registry.h"
#include "side.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

using namespace conformance;

namespace {

std::string familyOf(const std::string &check)
{
    return check.substr(0, check.find('.'));
}

int runHelper(int argc, char **argv)
{
    for (const RegisteredHelper &helper : registeredHelpers())
        if (helper.name == argv[0])
            return helper.function(argc - 1, argv + 1);
    fprintf(stderr, "conformance: no helper %s\n", argv[0]);
    return 2;
}

int usage()
{
    fprintf(stderr, "usage: conformance [--results <file>] [--after <check>] [--only <prefix>]... [--list]\n"
                    "       conformance --helper <name> <arguments>...\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && strcmp(argv[1], "--helper") == 0)
        return runHelper(argc - 2, argv + 2);

    const char *resultsPath = nullptr;
    std::string after;
    std::vector<std::string> only;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--results") == 0 && i + 1 < argc)
            resultsPath = argv[++i];
        else if (strcmp(argv[i], "--after") == 0 && i + 1 < argc)
            after = argv[++i];
        else if (strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only.push_back(argv[++i]);
        else if (strcmp(argv[i], "--list") == 0)
            list = true;
        else
            return usage();
    }

    std::vector<RegisteredCheck> checks = registeredChecks();
    // By family; within a family in the order of its source file.
    std::stable_sort(checks.begin(), checks.end(), [](const RegisteredCheck &a, const RegisteredCheck &b) {
        return familyOf(a.name) < familyOf(b.name);
    });
    if (list) {
        for (const RegisteredCheck &entry : checks)
            printf("%s\n", entry.name.c_str());
        return 0;
    }

    FILE *results = resultsPath ? fopen(resultsPath, after.empty() ? "wb" : "ab") : stdout;
    if (!results) {
        fprintf(stderr, "conformance: cannot write %s\n", resultsPath);
        return 2;
    }
    if (!side::start()) {
        fprintf(stderr, "conformance: cannot prepare the %s side\n", side::name());
        return 2;
    }

    bool skipping = !after.empty();
    int failed = 0;
    for (const RegisteredCheck &entry : checks) {
        if (skipping) {
            skipping = entry.name != after;
            continue;
        }
        if (!only.empty() && std::none_of(only.begin(), only.end(), [&](const std::string &prefix) {
                return entry.name.compare(0, prefix.size(), prefix) == 0;
            }))
            continue;
        fprintf(results, "begin %s\n", entry.name.c_str());
        fflush(results);
        Check check(entry.name);
        try {
            entry.function(check);
        } catch (const std::exception &error) {
            check.fail(__FILE__, __LINE__, std::string("exception: ") + error.what());
        }
        if (check.failures().empty()) {
            fprintf(results, "pass %s\n", entry.name.c_str());
        } else {
            ++failed;
            fprintf(results, "fail %s", entry.name.c_str());
            for (const std::string &failure : check.failures())
                fprintf(results, "\t%s", failure.c_str());
            fprintf(results, "\n");
        }
        fflush(results);
    }
    fprintf(results, "end\n");
    if (results != stdout)
        fclose(results);
    side::finish();
    return failed ? 1 : 0;
}
