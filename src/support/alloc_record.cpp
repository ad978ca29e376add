#include "support/alloc_record.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <unordered_set>

#include "support/seeded_hash.hpp"

namespace olvex::support {

namespace {

using json = nlohmann::json;

void append_json_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;  // start of the bytes that need no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

template <class T>
void append_integer(std::string& out, T v) {
  std::array<char, 24> buf;
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  out.append(buf.data(), end);
}

void append_ts(std::string& out, double ts) {
  if (ts == 0.0 && !std::signbit(ts)) {
    out += "0.0";  // every record this module writes
  } else {
    out += json(ts).dump();
  }
}

enum class Field { Name, Pid, Session, Size, Ts, Other };
constexpr std::size_t kFields = 5;

Field field_of(std::string_view key) {
  if (key == "name") return Field::Name;
  if (key == "pid") return Field::Pid;
  if (key == "session") return Field::Session;
  if (key == "size") return Field::Size;
  if (key == "ts") return Field::Ts;
  return Field::Other;
}

// Builds a record from parser events without a document tree. Every
// handler returns false to stop the parse at the first thing that makes the
// line invalid.
class RecordReader final : public nlohmann::json_sax<json> {
 public:
  bool complete() const {
    if (depth_ != 0 || !started_) return false;
    return array_ ? index_ == kFields : seen_ == (1u << kFields) - 1;
  }
  AllocRecord take() { return std::move(record_); }

  bool null() override { return scalar(Value::Other); }
  bool boolean(bool) override { return scalar(Value::Other); }
  bool number_integer(number_integer_t v) override {
    if (v < 0) return scalar(Value::Negative, static_cast<double>(v));
    // "-0" is reported here with value 0.
    return unsigned_value(static_cast<std::uint64_t>(v));
  }
  bool number_unsigned(number_unsigned_t v) override { return unsigned_value(v); }
  bool number_float(number_float_t v, const string_t&) override { return scalar(Value::Float, v); }
  bool string(string_t& s) override {
    text_ = &s;
    return scalar(Value::Text);
  }
  bool binary(binary_t&) override { return false; }

  bool start_object(std::size_t) override { return open(false); }
  bool start_array(std::size_t) override { return open(true); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& k) override {
    if (depth_ != 1) return true;  // keys of nested objects are not ours
    current_ = field_of(k);
    if (current_ == Field::Other) {
      // Keyed: the file is anyone's to write, so its keys must not be able
      // to collide on purpose.
      if (others_.empty()) others_ = OtherKeys(0, SeededHash{HashSeed::random()});
      return others_.insert(k).second;
    }
    unsigned bit = 1u << static_cast<unsigned>(current_);
    if (seen_ & bit) return false;
    seen_ |= bit;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

 private:
  enum class Value { Unsigned, Negative, Float, Text, Other };

  bool open(bool array) {
    if (depth_ == 0) {
      if (started_) return false;
      started_ = true;
      array_ = array;
    } else if (depth_ == 1 && (array_ || current_ != Field::Other)) {
      return false;  // every field is a scalar; an array holds only the five
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    return true;
  }

  // The field the next value at depth 1 fills.
  Field target() const {
    if (!array_) return current_;
    return index_ < kFields ? static_cast<Field>(index_) : Field::Other;
  }

  bool unsigned_value(std::uint64_t v) {
    unsigned_ = v;
    return scalar(Value::Unsigned, static_cast<double>(v));
  }

  bool scalar(Value kind, double number = 0.0) {
    if (depth_ == 0) return false;  // a bare scalar is no record
    if (depth_ > 1) return true;    // inside an ignored value
    if (array_ && index_ >= kFields) return false;
    Field f = target();
    if (array_) ++index_;
    switch (f) {
      case Field::Name:
      case Field::Session:
        if (kind != Value::Text) return false;
        (f == Field::Name ? record_.name : record_.session) = std::move(*text_);
        return true;
      case Field::Pid:
        if (kind != Value::Unsigned || unsigned_ > std::numeric_limits<std::uint32_t>::max()) return false;
        record_.pid = static_cast<std::uint32_t>(unsigned_);
        return true;
      case Field::Size:
        if (kind != Value::Unsigned) return false;
        record_.size = unsigned_;
        return true;
      case Field::Ts:
        if (kind == Value::Text || kind == Value::Other) return false;
        record_.ts = number;  // the parser refuses non-finite numbers
        return true;
      case Field::Other:
        return true;
    }
    return false;
  }

  AllocRecord record_;
  using OtherKeys = std::unordered_set<std::string, SeededHash, std::equal_to<>>;
  OtherKeys others_;  // unknown top-level keys seen so far
  string_t* text_ = nullptr;
  std::uint64_t unsigned_ = 0;
  unsigned seen_ = 0;
  std::size_t index_ = 0;
  int depth_ = 0;
  bool started_ = false;
  bool array_ = false;
  Field current_ = Field::Other;
};

}  // namespace

void append_record_line(std::string& out, const AllocRecord& r) {
  out += "{\"name\":";
  append_json_string(out, r.name);
  out += ",\"pid\":";
  append_integer(out, r.pid);
  out += ",\"session\":";
  append_json_string(out, r.session);
  out += ",\"size\":";
  append_integer(out, r.size);
  out += ",\"ts\":";
  append_ts(out, r.ts);
  out += "}\n";
}

std::string record_line(const AllocRecord& record) {
  std::string out;
  append_record_line(out, record);
  return out;
}

std::optional<AllocRecord> parse_record(std::string_view line) {
  // The parser would skip a leading byte-order mark; JSON text has none.
  if (line.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  RecordReader reader;
  // Strict: nothing may follow the value; comments are not JSON.
  bool ok = json::sax_parse(line.begin(), line.end(), &reader, nlohmann::detail::input_format_t::json, true, false);
  if (!ok || !reader.complete()) return std::nullopt;
  return reader.take();
}

bool valid_utf8(std::string_view bytes) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Eight ASCII bytes at a time: the common case.
    if (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        p += 8;
        continue;
      }
    }
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (std::size_t i = 2; i <= n; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += n + 1;
  }
  return true;
}

}  // namespace olvex::support
