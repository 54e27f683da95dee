// The host's two handle tables: values (type handles) and live execution states (tokens).
#pragma once

#include "host/request.h"
#include "service/values/slot_table.h"

namespace quill_service {

QUILL_API SlotTable<Variant>& ValueTable();
QUILL_API SlotTable<TExecState>& TokenTable();

}  // namespace quill_service
