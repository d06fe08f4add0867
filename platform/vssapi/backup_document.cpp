#include "vssapi/backup_document.h"

#include "machine/text.h"
#include "vssapi/service.h"

#include <pugixml.hpp>

#include <cstring>
#include <sstream>

namespace winsim::vss {

namespace {

Text textOf(const pugi::xml_node &node, const char *name)
{
    pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return std::nullopt;
    return toUtf16(attribute.value());
}

bool flagOf(const pugi::xml_node &node, const char *name, bool &ok)
{
    pugi::xml_attribute attribute = node.attribute(name);
    bool valid = true;
    bool value = parseFlag(attribute ? attribute.value() : nullptr, false, valid);
    ok = ok && valid;
    return value;
}

unsigned long numberOf(const pugi::xml_node &node, const char *name, unsigned long max, bool &ok)
{
    pugi::xml_attribute attribute = node.attribute(name);
    if (!attribute)
        return 0;
    auto value = parseHresult(attribute.value());
    if (!value || static_cast<uint32_t>(*value) > max) {
        ok = false;
        return 0;
    }
    return static_cast<uint32_t>(*value);
}

void putText(pugi::xml_node &node, const char *name, const Text &value)
{
    if (value)
        node.append_attribute(name) = toUtf8(*value).c_str();
}

}  // namespace

std::shared_ptr<ComponentRecord> BackupDocument::find(const VSS_ID &writerId, const Text &logicalPath,
                                                      std::u16string_view name) const
{
    for (const auto &writer : writers) {
        if (writer->writerId != writerId)
            continue;
        for (const auto &component : writer->components)
            if (sameText(component->logicalPath, logicalPath) && equalsIgnoreCase(component->name, name))
                return component;
    }
    return nullptr;
}

HRESULT parseBackupDocument(std::string_view xml, BackupDocument &out)
{
    pugi::xml_document document;
    if (!document.load_buffer(xml.data(), xml.size()))
        return VSS_E_CORRUPT_XML_DOCUMENT;
    pugi::xml_node root = document.document_element();
    if (strcmp(root.name(), "BackupComponents") != 0)
        return VSS_E_INVALID_XML_DOCUMENT;
    bool ok = true;
    BackupDocument parsed;
    parsed.selectComponents = flagOf(root, "selectComponents", ok);
    parsed.bootableSystemState = flagOf(root, "bootableSystemState", ok);
    parsed.partialFileSupport = flagOf(root, "partialFileSupport", ok);
    parsed.backupType = static_cast<VSS_BACKUP_TYPE>(numberOf(root, "backupType", VSS_BT_OTHER, ok));
    for (pugi::xml_node node : root.children("Writer")) {
        auto writer = std::make_shared<WriterRecord>();
        ok = ok && parseGuid(node.attribute("writerId").value(), writer->writerId) &&
             parseGuid(node.attribute("instanceId").value(), writer->instanceId);
        writer->name = textOf(node, "name");
        for (pugi::xml_node child : node.children("Component")) {
            auto component = std::make_shared<ComponentRecord>();
            component->type = static_cast<VSS_COMPONENT_TYPE>(numberOf(child, "type", VSS_CT_FILEGROUP, ok));
            component->logicalPath = textOf(child, "logicalPath");
            Text name = textOf(child, "name");
            ok = ok && name.has_value();
            component->name = name.value_or(u"");
            component->backupSucceeded = flagOf(child, "backupSucceeded", ok);
            component->selectedForRestore = flagOf(child, "selectedForRestore", ok);
            component->fileRestoreStatus =
                static_cast<VSS_FILE_RESTORE_STATUS>(numberOf(child, "fileRestoreStatus", VSS_RS_FAILED, ok));
            component->preRestoreFailure = textOf(child, "preRestoreFailure");
            for (pugi::xml_node target : child.children("NewTarget")) {
                NewTarget added;
                added.path = textOf(target, "path").value_or(u"");
                added.fileName = textOf(target, "fileName").value_or(u"");
                added.alternatePath = textOf(target, "alternatePath").value_or(u"");
                added.recursive = flagOf(target, "recursive", ok);
                component->newTargets.push_back(std::move(added));
            }
            writer->components.push_back(std::move(component));
        }
        parsed.writers.push_back(std::move(writer));
    }
    if (!ok)
        return VSS_E_INVALID_XML_DOCUMENT;
    out = std::move(parsed);
    return S_OK;
}

std::string writeBackupDocument(const BackupDocument &document)
{
    pugi::xml_document xml;
    pugi::xml_node root = xml.append_child("BackupComponents");
    root.append_attribute("selectComponents") = document.selectComponents ? "yes" : "no";
    root.append_attribute("bootableSystemState") = document.bootableSystemState ? "yes" : "no";
    root.append_attribute("backupType") = static_cast<unsigned>(document.backupType);
    root.append_attribute("partialFileSupport") = document.partialFileSupport ? "yes" : "no";
    for (const auto &writer : document.writers) {
        pugi::xml_node node = root.append_child("Writer");
        node.append_attribute("writerId") = guidText(writer->writerId).c_str();
        node.append_attribute("instanceId") = guidText(writer->instanceId).c_str();
        putText(node, "name", writer->name);
        for (const auto &component : writer->components) {
            pugi::xml_node child = node.append_child("Component");
            child.append_attribute("type") = static_cast<unsigned>(component->type);
            putText(child, "logicalPath", component->logicalPath);
            child.append_attribute("name") = toUtf8(component->name).c_str();
            child.append_attribute("backupSucceeded") = component->backupSucceeded ? "yes" : "no";
            child.append_attribute("selectedForRestore") = component->selectedForRestore ? "yes" : "no";
            child.append_attribute("fileRestoreStatus") = static_cast<unsigned>(component->fileRestoreStatus);
            putText(child, "preRestoreFailure", component->preRestoreFailure);
            for (const NewTarget &target : component->newTargets) {
                pugi::xml_node added = child.append_child("NewTarget");
                added.append_attribute("path") = toUtf8(target.path).c_str();
                added.append_attribute("fileName") = toUtf8(target.fileName).c_str();
                added.append_attribute("recursive") = target.recursive ? "yes" : "no";
                added.append_attribute("alternatePath") = toUtf8(target.alternatePath).c_str();
            }
        }
    }
    std::ostringstream out;
    xml.save(out, "  ", pugi::format_default | pugi::format_no_declaration);
    return out.str();
}

}  // namespace winsim::vss
