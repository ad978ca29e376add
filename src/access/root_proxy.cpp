// State.domain, State.global and State.domain_proxy hand out proxies: the
// state layer declares the routine, the proxies' layer defines it, so no
// include runs back up.
#include "access/proxy.hpp"
#include "py/convert.hpp"
#include "state/state.hpp"
#include "support/capabilities.hpp"

namespace olvex::state {

namespace {
RootKey root_key(std::string_view text) { return {text, Zone::hasher{}(text)}; }
}  // namespace

const RootKey& domain_root() {
  static const RootKey root = root_key("domain");
  return root;
}

const RootKey& global_root() {
  static const RootKey root = root_key("global");
  return root;
}

py::Ref root_proxy(const StateData& s, const RootKey& root, bool read_only) {
  const ZoneEntry* stored = s.data.find(root.text, root.hash);
  if (!stored) return py::none();
  return access::make_proxy(stored->value.get(), root.text, read_only, nullptr, false, support::READ);
}

}  // namespace olvex::state
