// Sites: each request is served for one site, which has an id, a name and a root folder.
#pragma once

#include <cstdint>
#include <string>

#include "os.h"

class QUILL_API Site {
 public:
  Site(int32_t id, std::u16string name, std::string root)
      : id_(id), name_(std::move(name)), root_(std::move(root)) {}
  int32_t GetID() const { return id_; }
  const std::u16string& GetName() const { return name_; }
  // The site's folder (absolute, ending with '/').
  const std::string& GetRoot() const { return root_; }

 private:
  int32_t id_;
  std::u16string name_;
  std::string root_;
};

class QUILL_API SiteMapper {
 public:
  // The site with that id, or null. Site 1 always exists: "default", rooted at the server root.
  // Other sites are rows of the table sites (id, name, root) of the internal database, read
  // when first asked for. Sites live until the process ends.
  static Site* FindByID(int32_t id);
};
