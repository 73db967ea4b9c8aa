#include "server/directory_view.h"

#include "platform/open_database.h"

namespace kvistur::server {

namespace {

DirectoryView read_directory(Faersla& faersla) {
  DirectoryView view;
  view.databases.emplace_back(u"DEFAULT", -1);
  SafeArray<Text> groups, names, descriptions;
  SafeArray<int32_t> ids;
  int32_t n = faersla.SaekjaHopa(groups, ids, names, descriptions);
  std::map<Text, int32_t>& every = view.fields[-1];
  for (int32_t i = 1; i <= n; ++i) {
    view.databases.emplace_back(upper_is(trim(groups(i))), ids(i));
    if (ids(i) < 0 || view.fields.count(ids(i))) continue;
    SafeArray<Text> fields;
    SafeArray<int32_t> numbers;
    int32_t group = ids(i);
    int32_t k = faersla.SaekjaSvid(group, fields, numbers);
    std::map<Text, int32_t>& own = view.fields[ids(i)];
    for (int32_t j = 1; j <= k; ++j) {
      own.emplace(upper_is(fields(j)), numbers(j));
      every.emplace(upper_is(fields(j)), numbers(j));
    }
  }
  return view;
}

}  // namespace

std::optional<int32_t> DirectoryView::group_of(const std::string& database) const {
  Text wanted = upper_is(trim(from_utf8(database)));
  for (auto& [name, id] : databases)
    if (name == wanted) return id;
  return std::nullopt;
}

const std::map<Text, int32_t>& DirectoryView::fields_of(int32_t group) const {
  static const std::map<Text, int32_t> none;
  auto it = fields.find(group < 0 ? -1 : group);
  return it == fields.end() ? none : it->second;
}

std::shared_ptr<const DirectoryView> ViewDirectory(Faersla& faersla) {
  std::unique_ptr<db::Database> directory = open_directory();
  std::shared_ptr<void>& slot = directory->Derived("kvistur.server.directory");
  if (!slot) slot = std::make_shared<DirectoryView>(read_directory(faersla));
  auto view = std::static_pointer_cast<const DirectoryView>(slot);
  directory->Close();
  return view;
}

std::shared_ptr<const SafeArray<Text>> StopWords(Faersla& faersla, db::Database& catalogue) {
  std::shared_ptr<void>& slot = catalogue.Derived("kvistur.server.stop-words");
  if (!slot) {
    auto words = std::make_shared<SafeArray<Text>>();
    faersla.SaekjaEkkiOrð(*words);
    if (!words->allocated()) *words = SafeArray<Text>(0, {Text()});
    slot = words;
  }
  return std::static_pointer_cast<const SafeArray<Text>>(slot);
}

}  // namespace kvistur::server
