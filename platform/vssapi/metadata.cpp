#include "vssapi/metadata.h"

#include "machine/machine.h"
#include "machine/text.h"
#include "vssapi/service.h"

#include <pugixml.hpp>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <strings.h>
#include <sstream>

namespace winsim::vss {

namespace {

class Reader {
public:
    explicit Reader(std::string *error) : error_(error) {}

    bool failed() const { return failed_; }

    void fail(const std::string &what)
    {
        if (!failed_ && error_)
            *error_ = what;
        failed_ = true;
    }

    Text text(const pugi::xml_node &node, const char *name)
    {
        pugi::xml_attribute attribute = node.attribute(name);
        if (!attribute)
            return std::nullopt;
        return toUtf16(attribute.value());
    }

    bool flag(const pugi::xml_node &node, const char *name, bool fallback)
    {
        bool ok = true;
        pugi::xml_attribute attribute = node.attribute(name);
        bool value = parseFlag(attribute ? attribute.value() : nullptr, fallback, ok);
        if (!ok)
            fail(std::string("attribute ") + name + " of <" + node.name() + "> is not yes or no");
        return value;
    }

    unsigned long number(const pugi::xml_node &node, const char *name, unsigned long fallback, unsigned long max)
    {
        pugi::xml_attribute attribute = node.attribute(name);
        if (!attribute)
            return fallback;
        auto value = parseHresult(attribute.value());
        if (!value || static_cast<uint32_t>(*value) > max) {
            fail(std::string("attribute ") + name + " of <" + node.name() + "> is not a number up to " +
                 std::to_string(max));
            return fallback;
        }
        return static_cast<uint32_t>(*value);
    }

    HRESULT hresult(const pugi::xml_node &node, const char *name)
    {
        pugi::xml_attribute attribute = node.attribute(name);
        if (!attribute)
            return S_OK;
        auto value = parseHresult(attribute.value());
        if (!value)
            fail(std::string("attribute ") + name + " of <" + node.name() + "> is not an HRESULT");
        return value.value_or(S_OK);
    }

    bool guid(const pugi::xml_node &node, const char *name, VSS_ID &out, bool required)
    {
        pugi::xml_attribute attribute = node.attribute(name);
        if (!attribute) {
            if (required)
                fail(std::string("<") + node.name() + "> needs the attribute " + name);
            return false;
        }
        if (!parseGuid(attribute.value(), out)) {
            fail(std::string("attribute ") + name + " of <" + node.name() + "> is not a GUID");
            return false;
        }
        return true;
    }

    FileSet fileSet(const pugi::xml_node &node)
    {
        FileSet files;
        files.path = text(node, "path");
        files.filespec = text(node, "filespec");
        files.alternate = text(node, "alternate");
        files.recursive = flag(node, "recursive", false);
        return files;
    }

private:
    std::string *error_;
    bool failed_ = false;
};

void putText(pugi::xml_node &node, const char *name, const Text &value)
{
    if (value)
        node.append_attribute(name) = toUtf8(*value).c_str();
}

void putFlag(pugi::xml_node &node, const char *name, bool value)
{
    node.append_attribute(name) = value ? "yes" : "no";
}

void putNumber(pugi::xml_node &node, const char *name, unsigned long value)
{
    node.append_attribute(name) = std::to_string(value).c_str();
}

void putFileSet(pugi::xml_node parent, const char *element, const FileSet &files)
{
    pugi::xml_node node = parent.append_child(element);
    putText(node, "path", files.path);
    putText(node, "filespec", files.filespec);
    putFlag(node, "recursive", files.recursive);
    putText(node, "alternate", files.alternate);
}

// The instance of a writer that does not name one: fixed for the writer, distinct from its class.
VSS_ID derivedInstance(const VSS_ID &writerId)
{
    VSS_ID instance = writerId;
    instance.Data1 ^= 0x5a5a5a5a;
    instance.Data4[7] ^= 0xa5;
    return instance;
}

}  // namespace

bool parseFlag(const char *value, bool fallback, bool &ok)
{
    ok = true;
    if (!value)
        return fallback;
    if (!strcasecmp(value, "yes") || !strcasecmp(value, "true") || !strcmp(value, "1"))
        return true;
    if (!strcasecmp(value, "no") || !strcasecmp(value, "false") || !strcmp(value, "0"))
        return false;
    ok = false;
    return fallback;
}

bool sameText(const Text &a, const Text &b)
{
    return equalsIgnoreCase(a ? std::u16string_view(*a) : std::u16string_view(),
                            b ? std::u16string_view(*b) : std::u16string_view());
}

HRESULT parseWriterMetadata(std::string_view xml, WriterMetadata &out, std::string *error)
{
    pugi::xml_document document;
    pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        if (error)
            *error = std::string("not an XML document: ") + parsed.description();
        return VSS_E_CORRUPT_XML_DOCUMENT;
    }
    pugi::xml_node root = document.document_element();
    if (strcmp(root.name(), "WriterMetadata") != 0) {
        if (error)
            *error = "the document element is not <WriterMetadata>";
        return VSS_E_INVALID_XML_DOCUMENT;
    }
    Reader reader(error);
    WriterMetadata metadata;
    metadata.name = reader.text(root, "name");
    reader.guid(root, "writerId", metadata.writerId, true);
    if (!reader.guid(root, "instanceId", metadata.instanceId, false))
        metadata.instanceId = derivedInstance(metadata.writerId);
    metadata.usage = static_cast<VSS_USAGE_TYPE>(reader.number(root, "usage", VSS_UT_OTHER, VSS_UT_OTHER));
    metadata.source = static_cast<VSS_SOURCE_TYPE>(reader.number(root, "source", VSS_ST_OTHER, VSS_ST_OTHER));
    for (pugi::xml_node node : root.children()) {
        if (node.type() != pugi::node_element)
            continue;
        std::string element = node.name();
        if (element == "RestoreMethod") {
            RestoreMethod method;
            method.method = static_cast<VSS_RESTOREMETHOD_ENUM>(
                reader.number(node, "method", VSS_RME_UNDEFINED, VSS_RME_RESTORE_STOP_START));
            method.service = reader.text(node, "service");
            method.userProcedure = reader.text(node, "userProcedure");
            method.writerRestore = static_cast<VSS_WRITERRESTORE_ENUM>(
                reader.number(node, "writerRestore", VSS_WRE_UNDEFINED, VSS_WRE_ALWAYS));
            method.rebootRequired = reader.flag(node, "rebootRequired", false);
            metadata.restoreMethod = method;
        } else if (element == "AlternateLocationMapping") {
            metadata.alternateMappings.push_back(reader.fileSet(node));
        } else if (element == "Include") {
            metadata.includes.push_back(reader.fileSet(node));
        } else if (element == "Exclude") {
            metadata.excludes.push_back(reader.fileSet(node));
        } else if (element == "Status") {
            DeclaredStatus status;
            status.state = static_cast<VSS_WRITER_STATE>(
                reader.number(node, "state", VSS_WS_STABLE, VSS_WS_COUNT - 1));
            status.failure = reader.hresult(node, "failure");
            status.after = node.attribute("after").value();
            static const char *const kSteps[] = {"", "PrepareForBackup", "DoSnapshotSet", "BackupComplete",
                                                 "PreRestore", "PostRestore"};
            if (std::none_of(std::begin(kSteps), std::end(kSteps),
                             [&](const char *step) { return status.after == step; }))
                reader.fail("attribute after of <Status> names no step: " + status.after);
            metadata.status = status;
        } else if (element == "Component") {
            DeclaredComponent component;
            component.type = static_cast<VSS_COMPONENT_TYPE>(reader.number(node, "type", VSS_CT_FILEGROUP, VSS_CT_FILEGROUP));
            component.name = reader.text(node, "name");
            component.logicalPath = reader.text(node, "logicalPath");
            component.caption = reader.text(node, "caption");
            component.selectable = reader.flag(node, "selectable", true);
            component.selectableForRestore = reader.flag(node, "selectableForRestore", false);
            component.restoreMetadata = reader.flag(node, "restoreMetadata", false);
            component.notifyOnBackupComplete = reader.flag(node, "notifyOnBackupComplete", false);
            component.flags = static_cast<DWORD>(reader.number(node, "flags", 0, 0xFFFFFFFFul));
            component.preRestoreFailure = reader.text(node, "preRestoreFailure");
            if (!component.name)
                reader.fail("a <Component> needs a name");
            for (pugi::xml_node child : node.children()) {
                if (child.type() != pugi::node_element)
                    continue;
                std::string kind = child.name();
                if (kind == "File") {
                    component.files.push_back(reader.fileSet(child));
                } else if (kind == "Database") {
                    component.databases.push_back(reader.fileSet(child));
                } else if (kind == "Log") {
                    component.logs.push_back(reader.fileSet(child));
                } else if (kind == "Dependency") {
                    Dependency dependency;
                    reader.guid(child, "writerId", dependency.writerId, true);
                    dependency.logicalPath = reader.text(child, "logicalPath");
                    dependency.name = reader.text(child, "name");
                    component.dependencies.push_back(dependency);
                } else {
                    reader.fail("unknown element <" + kind + "> in <Component>");
                }
            }
            metadata.components.push_back(std::move(component));
        } else {
            reader.fail("unknown element <" + element + "> in <WriterMetadata>");
        }
    }
    if (reader.failed())
        return VSS_E_INVALID_XML_DOCUMENT;
    out = std::move(metadata);
    return S_OK;
}

std::string writeWriterMetadata(const WriterMetadata &metadata)
{
    pugi::xml_document document;
    pugi::xml_node root = document.append_child("WriterMetadata");
    putText(root, "name", metadata.name);
    root.append_attribute("writerId") = guidText(metadata.writerId).c_str();
    root.append_attribute("instanceId") = guidText(metadata.instanceId).c_str();
    putNumber(root, "usage", metadata.usage);
    putNumber(root, "source", metadata.source);
    if (const auto &method = metadata.restoreMethod) {
        pugi::xml_node node = root.append_child("RestoreMethod");
        putNumber(node, "method", method->method);
        putText(node, "service", method->service);
        putText(node, "userProcedure", method->userProcedure);
        putNumber(node, "writerRestore", method->writerRestore);
        putFlag(node, "rebootRequired", method->rebootRequired);
    }
    for (const FileSet &files : metadata.alternateMappings)
        putFileSet(root, "AlternateLocationMapping", files);
    for (const FileSet &files : metadata.includes)
        putFileSet(root, "Include", files);
    for (const FileSet &files : metadata.excludes)
        putFileSet(root, "Exclude", files);
    for (const DeclaredComponent &component : metadata.components) {
        pugi::xml_node node = root.append_child("Component");
        putText(node, "name", component.name);
        putText(node, "logicalPath", component.logicalPath);
        putText(node, "caption", component.caption);
        putNumber(node, "type", component.type);
        putFlag(node, "selectable", component.selectable);
        putFlag(node, "selectableForRestore", component.selectableForRestore);
        putFlag(node, "restoreMetadata", component.restoreMetadata);
        putFlag(node, "notifyOnBackupComplete", component.notifyOnBackupComplete);
        putNumber(node, "flags", component.flags);
        for (const FileSet &files : component.files)
            putFileSet(node, "File", files);
        for (const FileSet &files : component.databases)
            putFileSet(node, "Database", files);
        for (const FileSet &files : component.logs)
            putFileSet(node, "Log", files);
        for (const Dependency &dependency : component.dependencies) {
            pugi::xml_node child = node.append_child("Dependency");
            child.append_attribute("writerId") = guidText(dependency.writerId).c_str();
            putText(child, "logicalPath", dependency.logicalPath);
            putText(child, "name", dependency.name);
        }
    }
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default | pugi::format_no_declaration);
    return out.str();
}

std::string writersDirectory()
{
    return machineRoot() + "/vss/writers";
}

std::vector<WriterMetadata> declaredWriters()
{
    std::vector<std::string> files;
    if (DIR *dir = opendir(writersDirectory().c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".xml") == 0)
                files.push_back(name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    std::vector<WriterMetadata> writers;
    for (const std::string &file : files) {
        std::string path = writersDirectory() + "/" + file;
        FILE *in = fopen(path.c_str(), "rb");
        if (!in)
            continue;
        std::string content;
        char buffer[8192];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, in)) > 0)
            content.append(buffer, n);
        fclose(in);
        WriterMetadata metadata;
        if (parseWriterMetadata(content, metadata) == S_OK)
            writers.push_back(std::move(metadata));
    }
    return writers;
}

}  // namespace winsim::vss
