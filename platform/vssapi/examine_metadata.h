// The objects through which a requester reads a writer's metadata document.
#pragma once

#include "vssapi/metadata.h"

#include <memory>

namespace winsim::vss {

IVssExamineWriterMetadata *newExamineWriterMetadata(std::shared_ptr<const WriterMetadata> metadata);

// A set of files: a component's file, database or log, an include or exclude, an
// alternate location mapping or a new restore target.
IVssWMFiledesc *newFiledesc(const FileSet &files);

// The text of a BSTR argument (its length from the BSTR, not from a NUL).
std::string bstrText(BSTR text);

}  // namespace winsim::vss
