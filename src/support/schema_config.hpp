#pragma once
// The shape check of a schema configuration document: exactly one YAML
// document whose root, `context` and field-specification mappings are
// closed, whose `global` and `domain` maps are open (field name -> field
// specification), and whose values follow the document's rules. Nothing
// is kept: the check answers only whether the text fits.
#include <optional>
#include <string>
#include <string_view>

namespace olvex::support {

// The first problem in the text, as "{path}: {text} at line {L} column {C}"
// (the path left out at the root; reading problems as the YAML reader
// words them), or nothing when the document fits. Throws std::bad_alloc.
std::optional<std::string> check_schema_config(std::string_view text);

}  // namespace olvex::support
