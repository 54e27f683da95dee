// SiteMapper: site 1 stands for the server root; other sites come from the table sites.
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "host/site.h"
#include "service/core/host.h"
#include "service/core/internal_db.h"
#include "service/values/text.h"

namespace {

struct Sites {
  std::mutex lock;
  std::map<int32_t, Site*> byId;
  std::vector<std::unique_ptr<Site>> all;  // every site made stays: requests keep pointers to them
};

Sites& TheSites() {
  static auto* sites = new Sites;
  return *sites;
}

// The site's definition now: site 1 from the host, others from the internal database.
std::unique_ptr<Site> LoadSite(int32_t id, const std::string& serverRoot) {
  if (id == 1) return std::make_unique<Site>(1, u"default", serverRoot);
  std::vector<quill_service::SqlRow> rows;
  if (quill_service::ExecuteBound("SELECT name, root FROM sites WHERE id = ?1", {{std::to_string(id)}}, &rows) !=
          QUILL_OK ||
      rows.empty()) {
    return nullptr;
  }
  std::string root = rows[0][1].value_or("");
  if (root.empty() || root.front() != '/') root = serverRoot + root;
  if (root.back() != '/') root += '/';
  return std::make_unique<Site>(id, quill_service::Utf8ToUtf16(rows[0][0].value_or("")), root);
}

}  // namespace

Site* SiteMapper::FindByID(int32_t id) {
  const quill_service::Host* host = quill_service::Host::Instance();
  static const std::string kNoRoot = "/";
  const std::string& serverRoot = host != nullptr ? host->Root() : kNoRoot;
  Sites& sites = TheSites();
  std::lock_guard guard(sites.lock);
  auto found = sites.byId.find(id);
  // A host moved to another root has another site 1.
  if (found != sites.byId.end() && (id != 1 || found->second->GetRoot() == serverRoot)) return found->second;
  std::unique_ptr<Site> site = LoadSite(id, serverRoot);
  if (!site) return nullptr;
  Site* made = sites.all.emplace_back(std::move(site)).get();
  sites.byId[id] = made;
  return made;
}
