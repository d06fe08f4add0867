// winsim vss ...: the shadow copy service of the machine (volumes, writers, snapshots), and
// winsim counters: what the stand-in services counted.
#include "commands.h"

#include "machine/counters.h"
#include "machine/machine.h"
#include "machine/paths.h"
#include "machine/text.h"
#include "vssapi/metadata.h"
#include "vssapi/service.h"
#include "vssapi/snapshots.h"
#include "vssapi/volumes.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

using namespace winsim;
using namespace winsim::vss;

namespace {

int vssUsage()
{
    fprintf(stderr,
            "usage: winsim vss <command>\n"
            "  volumes                          list the volumes (drives) and whether they can be copied\n"
            "  volume add <X:> [--unsupported]  add drive X: (<root>/drive_x), optionally one the provider refuses\n"
            "  writers                          list the declared writers\n"
            "  writer add <file.xml>            declare a writer (its metadata document, see the README)\n"
            "  writer remove <name or {id}>     remove a declared writer\n"
            "  snapshots                        list the shadow copies\n"
            "  snapshot delete <N|all>          delete shadow copy N (HarddiskVolumeShadowCopyN), or all\n");
    return 2;
}

bool readFile(const std::string &path, std::string &content)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    content = out.str();
    return true;
}

std::string fileNameFor(const WriterMetadata &writer)
{
    std::string name = writer.name ? toUtf8(*writer.name) : guidText(writer.writerId);
    for (char &c : name)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
            c = '-';
    return name + ".xml";
}

std::vector<std::string> writerFiles()
{
    std::vector<std::string> files;
    if (DIR *dir = opendir(writersDirectory().c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
                files.push_back(writersDirectory() + "/" + name);
        }
        closedir(dir);
    }
    return files;
}

int listVolumes()
{
    for (const Volume &volume : machineVolumes())
        printf("%c:\\  %s  %s%s\n", static_cast<char>(volume.letter), toUtf8(volume.guidName).c_str(),
               volume.root.c_str(), volume.supported ? "" : "  (not supported by the provider)");
    return 0;
}

int addVolume(const char *name, bool unsupported)
{
    if (strlen(name) < 1 || strlen(name) > 3 || !isalpha(static_cast<unsigned char>(name[0])) ||
        (name[1] && name[1] != ':') || toupper(static_cast<unsigned char>(name[0])) == 'Z') {
        fprintf(stderr, "winsim: not a drive letter other than Z: %s\n", name);
        return 1;
    }
    char letter = static_cast<char>(toupper(static_cast<unsigned char>(name[0])));
    std::string root = driveDirectory(static_cast<char16_t>(letter));
    if (mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "winsim: cannot create %s: %s\n", root.c_str(), strerror(errno));
        return 1;
    }
    setMachineSetting(machineRoot(), std::string("vss.volume.") + letter + ".supported", unsupported ? "no" : "yes");
    printf("%c: is %s\n", letter, root.c_str());
    return 0;
}

int listWriters()
{
    for (const WriterMetadata &writer : declaredWriters())
        printf("%s  %s  %zu component(s)\n", guidText(writer.writerId).c_str(),
               writer.name ? toUtf8(*writer.name).c_str() : "(no name)", writer.components.size());
    return 0;
}

int addWriter(const char *file)
{
    std::string content;
    if (!readFile(file, content)) {
        fprintf(stderr, "winsim: cannot read %s\n", file);
        return 1;
    }
    WriterMetadata writer;
    std::string error;
    if (parseWriterMetadata(content, writer, &error) != S_OK) {
        fprintf(stderr, "winsim: %s is not a writer declaration: %s\n", file, error.c_str());
        return 1;
    }
    std::string directory = writersDirectory();
    mkdir((machineRoot() + "/vss").c_str(), 0755);
    mkdir(directory.c_str(), 0755);
    std::string target = directory + "/" + fileNameFor(writer);
    std::string temp = target + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.flush()) {
            fprintf(stderr, "winsim: cannot write %s\n", temp.c_str());
            return 1;
        }
    }
    if (rename(temp.c_str(), target.c_str()) != 0) {
        fprintf(stderr, "winsim: cannot write %s: %s\n", target.c_str(), strerror(errno));
        return 1;
    }
    printf("%s\n", target.c_str());
    return 0;
}

int removeWriter(const char *which)
{
    VSS_ID id;
    bool byId = parseGuid(which, id);
    int removed = 0;
    for (const std::string &file : writerFiles()) {
        std::string content;
        WriterMetadata writer;
        if (!readFile(file, content) || parseWriterMetadata(content, writer) != S_OK)
            continue;
        bool match = byId ? writer.writerId == id : writer.name && equalsIgnoreCase(*writer.name, toUtf16(which));
        if (match && unlink(file.c_str()) == 0)
            ++removed;
    }
    if (removed == 0) {
        fprintf(stderr, "winsim: no writer %s\n", which);
        return 1;
    }
    return 0;
}

int listSnapshotsCommand()
{
    for (const Snapshot &snapshot : listSnapshots()) {
        time_t seconds = static_cast<time_t>(snapshot.created / 10000000 - 11644473600ll);
        char when[32];
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", localtime(&seconds));
        printf("%s  %s  of %c:\\  set %s  %s  process %ld\n", toUtf8(snapshot.deviceName()).c_str(),
               guidText(snapshot.id).c_str(), static_cast<char>(snapshot.letter), guidText(snapshot.setId).c_str(),
               when, snapshot.ownerProcess);
    }
    return 0;
}

int deleteSnapshotCommand(const char *which)
{
    if (strcmp(which, "all") == 0) {
        for (const Snapshot &snapshot : listSnapshots())
            deleteSnapshot(snapshot.number);
        return 0;
    }
    char *end = nullptr;
    unsigned long number = strtoul(which, &end, 10);
    for (const Snapshot &snapshot : listSnapshots()) {
        if (end && *end == '\0' && snapshot.number == number) {
            deleteSnapshot(number);
            return 0;
        }
    }
    fprintf(stderr, "winsim: no shadow copy %s\n", which);
    return 1;
}

}  // namespace

int vssCommand(int argc, char **argv)
{
    if (argc < 1)
        return vssUsage();
    // Snapshots of requesters whose process has ended go first, as on the service's next call.
    releaseSnapshotsOfEndedProcesses();
    std::string command = argv[0];
    if (command == "volumes" && argc == 1)
        return listVolumes();
    if (command == "volume" && argc >= 3 && argc <= 4 && strcmp(argv[1], "add") == 0) {
        bool unsupported = argc == 4 && strcmp(argv[3], "--unsupported") == 0;
        if (argc == 4 && !unsupported)
            return vssUsage();
        return addVolume(argv[2], unsupported);
    }
    if (command == "writers" && argc == 1)
        return listWriters();
    if (command == "writer" && argc == 3 && strcmp(argv[1], "add") == 0)
        return addWriter(argv[2]);
    if (command == "writer" && argc == 3 && strcmp(argv[1], "remove") == 0)
        return removeWriter(argv[2]);
    if (command == "snapshots" && argc == 1)
        return listSnapshotsCommand();
    if (command == "snapshot" && argc == 3 && strcmp(argv[1], "delete") == 0)
        return deleteSnapshotCommand(argv[2]);
    return vssUsage();
}

int countersCommand(int argc, char **argv)
{
    const char *prefix = argc >= 1 ? argv[0] : "";
    for (const auto &[name, value] : allCounters())
        if (name.compare(0, strlen(prefix), prefix) == 0)
            printf("%s %lld\n", name.c_str(), static_cast<long long>(value));
    return 0;
}
