// Who a visitor of `quill serve` is and whether it may have a page: HTTP Basic credentials
// checked against the users table, and the rights the server enforces.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quill_service {

// The user name and password of an Authorization header of the Basic scheme (decoded as UTF-8
// text "name:password"), or nothing when the header is of another scheme or malformed.
struct BasicCredentials {
  std::string user;
  std::string password;
};
std::optional<BasicCredentials> ParseBasicCredentials(std::string_view header);

// What the server answers a visitor for a page.
struct PageAccess {
  enum Answer { kAllowed, kNeedsUser, kForbidden } answer = kAllowed;  // 200 / 401 / 403
  std::string user;  // the visitor's user when allowed ("" for anonymous)
};

// authorization: the request's Authorization header, or null. Credentials that are malformed or
// wrong need a user (401) whatever the page; right ones make the visitor that user. A page the
// visitor's user may not have (execute for a script, read for another file, on its
// page:/PATH target) needs a user when the visitor is anonymous, and is forbidden otherwise.
// Checking a password costs a hash: call this on a worker, not on the connection's thread.
PageAccess CheckPageAccess(const char* authorization, bool script, std::string_view pathInWebFolder);

// The challenge of a 401 answer.
constexpr const char* kBasicChallenge = "Basic realm=\"quill\", charset=\"UTF-8\"";

}  // namespace quill_service
