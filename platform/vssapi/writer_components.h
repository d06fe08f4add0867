// The components of one writer as a backup document records them.
#pragma once

#include "vssapi/backup_document.h"

namespace winsim::vss {

IVssWriterComponentsExt *newWriterComponents(std::shared_ptr<const WriterRecord> writer);

}  // namespace winsim::vss
