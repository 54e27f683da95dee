// What the server itself lets a user do: the forms of the targets it checks, how targets and
// grants are normalised before they are compared, and the rule that a server with no rights
// configured lets everyone do everything (see docs/server-services.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/qcapi.h"

namespace quill_service {

// Target forms. Paths are taken as given (callers normalise or resolve them first).
// A page of the web folder that `quill serve` serves, by its path there: "page:/shop/index.qs".
QUILL_API std::string PageTarget(std::string_view pathInWebFolder);
// A script file `quill run` runs, by its full path on disk: "file:/srv/tools/report.qs".
QUILL_API std::string ScriptFileTarget(std::string_view absolutePath);
// A data source, one of its databases, or a table of one: "db:csv/", "db:csv/shop/",
// "db:csv/shop/items" (a schema's table: "db:pg/app/public.items"). The source is lower-cased,
// as sources are named without case; '%', '/' and control characters in names are percent-encoded,
// so no name can reach into another's place.
QUILL_API std::string DataSourceTarget(std::string_view source, const std::string* database = nullptr,
                                       const std::string* table = nullptr, std::string_view schema = {});

// The form a target is compared in: paths (a target beginning with '/', and the paths of page:
// and file: targets) with "." and ".." taken out and repeated '/' merged; a db: target's source
// lower-cased. Nothing when the target can match no grant: a path climbing above '/', or
// control characters.
QUILL_API std::optional<std::string> NormaliseTarget(std::string_view target);
// The same for a grant, whose trailing '*' (every target that begins with the rest) is kept.
QUILL_API std::optional<std::string> NormaliseGrant(std::string_view grant);
// Whether a normalised grant covers a normalised target.
QUILL_API bool GrantCovers(std::string_view grant, std::string_view target);

// The word of an operation code ("read", "write", "execute", "admin"), or its number.
QUILL_API std::string OperationWord(int32_t operation);
QUILL_API std::optional<int32_t> OperationFromWord(std::string_view word);

// True once the internal database holds at least one right: from then on the server refuses
// what is not granted.
QUILL_API bool RightsEnforced();
// Whether the server lets user do operation on target: always while no right is configured,
// always for an administrator, else when a grant of the user or of the anonymous user covers it.
QUILL_API bool ServerAllows(const std::string& user, int32_t operation, std::string_view target);
// "ann may not write db:csv/shop/items" ("the anonymous user may not ..." for "").
QUILL_API std::string RefusalMessage(const std::string& user, int32_t operation, std::string_view target);

}  // namespace quill_service
