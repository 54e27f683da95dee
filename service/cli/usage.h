// The usage line of each command: printed on a usage error and by the command's --help, which
// answers before the host or the module starts.
#pragma once

#include <string_view>

namespace quill_service {

inline constexpr const char* kRunUsage =
    "Usage: quill run SCRIPT [--param K=V]... [--cookie K=V]... [--header K=V]... [--repeat N]\n"
    "                 [--user NAME [--password PW]] [--site ID] [--time-limit S]\n";

inline constexpr const char* kServeUsage =
    "Usage: quill serve [--bind ADDR] [--port N] [--web DIR] [--max-body BYTES] [--max-header BYTES]\n"
    "                   [--max-fields N] [--idle-timeout S] [--request-timeout S] [--time-limit S]\n"
    "                   [--script-workers N] [--max-per-address N] [--trusted-proxy ADDR[,ADDR...]]\n"
    "                   [--drain-grace S] [--http-threads N] [--no-access-log] [--reload]\n"
    "--reload: a module jar replaced in QuillModules/ is loaded again; requests from then on get its classes.\n"
    "--trusted-proxy: requests from these addresses (repeatable) name their client in X-Forwarded-For.\n"
    "GET /_health answers 200 while serving, 503 once a stop signal drains the server; it keeps\n"
    "listening --drain-grace seconds (default 2) before it stops (docs/deployment.md).\n"
    "See docs/serving.md for the limits and their defaults.\n";

inline constexpr const char* kUserUsage =
    "Usage: quill user add NAME PASSWORD [--admin | --no-admin] [--replace]\n"
    "       quill user remove NAME\n"
    "       quill user grant NAME OPERATION TARGET\n"
    "       quill user revoke NAME OPERATION TARGET\n"
    "       quill user list\n"
    "OPERATION is read, write, execute, admin or a number; NAME \"\" is the anonymous user.\n"
    "TARGET is page:/PATH, file:/PATH, db:SOURCE/DATABASE/TABLE, an internal /PATH, or any text;\n"
    "a trailing * takes every target that begins with the rest (docs/server-services.md).\n";

inline constexpr const char* kHostUsage =
    "Usage: quill host add SOURCE NAME_OR_URL USER [PASSWORD]   (no PASSWORD: read from standard input)\n"
    "       quill host list [SOURCE]\n"
    "       quill host remove ID\n";

inline constexpr const char* kModuleUsage =
    "Usage: quill [--root DIR] module new NAME --tags|--datasource [--dir FOLDER]\n"
    "NAME (a-z, 0-9, _) names the Java package, the jar and the tags or data source; the project's\n"
    "build.sh compiles against DIR/QuillModules/QJAPI.jar and copies the jar there.\n";

// The usage of the command word, or null for an unknown one.
inline const char* CommandUsage(std::string_view command) {
  if (command == "run") return kRunUsage;
  if (command == "serve") return kServeUsage;
  if (command == "user") return kUserUsage;
  if (command == "host") return kHostUsage;
  if (command == "module") return kModuleUsage;
  return nullptr;
}

}  // namespace quill_service
