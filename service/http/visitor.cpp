#include "service/http/visitor.h"

#include <openssl/evp.h>
#include <strings.h>

#include "host/qcapi.h"
#include "service/core/rights.h"
#include "service/core/users.h"

namespace quill_service {
namespace {

constexpr std::string_view kScheme = "Basic";
constexpr size_t kMaxCredentialBytes = 4096;

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0 || text.size() > kMaxCredentialBytes) return std::nullopt;
  std::string bytes(text.size() / 4 * 3, '\0');
  const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                     reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // The block decoder counts the padding as zero bytes.
  size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  bytes.resize(static_cast<size_t>(length) - padding);
  return bytes;
}

}  // namespace

std::optional<BasicCredentials> ParseBasicCredentials(std::string_view header) {
  if (header.size() <= kScheme.size() || strncasecmp(header.data(), kScheme.data(), kScheme.size()) != 0 ||
      header[kScheme.size()] != ' ') {
    return std::nullopt;
  }
  std::string_view token = header.substr(kScheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  const std::optional<std::string> decoded = DecodeBase64(token);
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

PageAccess CheckPageAccess(const char* authorization, bool script, std::string_view pathInWebFolder) {
  PageAccess access;
  if (authorization != nullptr) {
    const std::optional<BasicCredentials> credentials = ParseBasicCredentials(authorization);
    // A name no user can have is checked like any other, so its answer takes no less time.
    if (!credentials || CheckPassword(credentials->user, credentials->password) != QUILL_OK) {
      access.answer = PageAccess::kNeedsUser;
      return access;
    }
    access.user = credentials->user;
  }
  const int32_t operation = script ? QUILL_OP_EXECUTE : QUILL_OP_READ;
  if (!ServerAllows(access.user, operation, PageTarget(pathInWebFolder))) {
    access.answer = access.user.empty() ? PageAccess::kNeedsUser : PageAccess::kForbidden;
  }
  return access;
}

}  // namespace quill_service
