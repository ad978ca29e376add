// State.domain, State.global and State.domain_proxy hand out proxies: the
// state layer declares the routine, the proxies' layer defines it, so no
// include runs back up.
#include "access/proxy.hpp"
#include "py/convert.hpp"
#include "state/state.hpp"
#include "support/capabilities.hpp"

namespace olvex::state {

py::Ref root_proxy(const StateData& s, const char* root, bool read_only) {
  const ZoneEntry* stored = s.data.find(root);
  if (!stored) return py::none();
  return access::make_proxy(stored->value.get(), root, read_only, nullptr, false, support::READ);
}

}  // namespace olvex::state
