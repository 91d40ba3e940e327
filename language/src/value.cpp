#include "value.hpp"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

namespace zolang {

// An immutable, reference-counted string; its bytes follow the header in the
// same allocation. The count is atomic because a program's strings may be
// handed from the thread that compiled them to the one that runs them.
struct Value::StringRep {
  std::atomic<std::size_t> references;
  std::size_t size;

  char* bytes() { return reinterpret_cast<char*>(this + 1); }

  // Null when the memory cannot be had.
  static StringRep* make(std::size_t size) noexcept {
    if (size > std::numeric_limits<std::size_t>::max() - sizeof(StringRep)) return nullptr;
    void* memory = ::operator new(sizeof(StringRep) + size, std::nothrow);
    if (memory == nullptr) return nullptr;
    return new (memory) StringRep{{1}, size};
  }
};

Value Value::string(std::string_view text) { return concat(text, {}); }

Value Value::concat(std::string_view left, std::string_view right) {
  std::optional<Value> joined = try_concat(left, right);
  if (!joined) throw std::bad_alloc();
  return std::move(*joined);
}

std::optional<Value> Value::try_concat(std::string_view left, std::string_view right) noexcept {
  StringRep* rep = StringRep::make(left.size() + right.size());
  if (rep == nullptr) return std::nullopt;
  if (!left.empty()) std::memcpy(rep->bytes(), left.data(), left.size());
  if (!right.empty()) std::memcpy(rep->bytes() + left.size(), right.data(), right.size());
  Value v;
  v.tag = Kind::String;
  v.payload.string = rep;
  return v;
}

std::size_t Value::string_heap_bytes(std::size_t length) noexcept {
  return sizeof(StringRep) + length;
}

std::size_t Value::heap_bytes() const noexcept {
  return tag == Kind::String ? string_heap_bytes(payload.string->size) : 0;
}

bool Value::shares_heap() const noexcept {
  return tag == Kind::String && payload.string->references.load(std::memory_order_relaxed) > 1;
}

std::string_view Value::as_string() const noexcept {
  return {payload.string->bytes(), payload.string->size};
}

void Value::retain() const noexcept {
  if (tag == Kind::String) payload.string->references.fetch_add(1, std::memory_order_relaxed);
}

void Value::release() noexcept {
  if (tag != Kind::String) return;
  if (payload.string->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    payload.string->~StringRep();
    ::operator delete(payload.string);
  }
}

bool equals(const Value& left, const Value& right) noexcept {
  if (left.tag != right.tag) return false;
  switch (left.tag) {
    case Value::Kind::Number:
      return left.payload.number == right.payload.number;
    case Value::Kind::Boolean:
      return left.payload.boolean == right.payload.boolean;
    case Value::Kind::Nil:
      return true;
    case Value::Kind::String:
      return left.as_string() == right.as_string();
  }
  return false;
}

bool operator==(const Value& left, const Value& right) noexcept {
  if (left.tag == Value::Kind::Number && right.tag == Value::Kind::Number) {
    return std::memcmp(&left.payload.number, &right.payload.number, sizeof(double)) == 0 ||
           (std::isnan(left.payload.number) && std::isnan(right.payload.number));
  }
  return equals(left, right);
}

void append_number(std::string& out, double number) {
  if (std::isnan(number)) {
    out += "NaN";
    return;
  }
  if (std::isinf(number)) {
    out += number < 0 ? "-inf" : "inf";
    return;
  }
  // Fixed notation of the largest double has 309 digits; the smallest
  // subnormal needs "0." and 324 more.
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::fixed);
  out.append(buffer, result.ptr);
}

std::string format_number(double number) {
  std::string out;
  append_number(out, number);
  return out;
}

void Value::append_display(std::string& out) const {
  switch (tag) {
    case Kind::Number:
      append_number(out, payload.number);
      return;
    case Kind::Boolean:
      out += payload.boolean ? "true" : "false";
      return;
    case Kind::Nil:
      out += "nil";
      return;
    case Kind::String:
      out += '"';
      out += as_string();
      out += '"';
      return;
  }
}

std::string Value::display() const {
  std::string out;
  append_display(out);
  return out;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a decimal text that std::from_chars found out of range is too large
// (rather than too small): the power of ten of its leading non-zero digit,
// plus its exponent, is positive.
bool overflows(std::string_view text) {
  std::size_t i = text.starts_with('-') ? 1 : 0;
  long long leading = 0;  // power of ten of the first non-zero digit, plus one
  bool seen_nonzero = false;
  long long integer_digits = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    if (text[i] != '0') seen_nonzero = true;
    if (seen_nonzero) ++integer_digits;
  }
  leading = integer_digits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i) {
      if (seen_nonzero) continue;
      if (text[i] != '0')
        seen_nonzero = true;
      else
        --leading;
    }
  }
  long long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    for (; i < text.size() && is_digit(text[i]); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return leading + exponent > 0;
}

}  // namespace

std::optional<double> parse_decimal(std::string_view text) {
  // from_chars accepts "inf" and "nan" and no leading '+'; only plain
  // decimals are numbers here.
  std::size_t digits_at = text.starts_with('-') ? 1 : 0;
  if (digits_at >= text.size() || !is_digit(text[digits_at])) return std::nullopt;
  // Most literals are short integers, exact in a double as read digit by
  // digit; anything else goes to the full conversion.
  if (text.size() - digits_at <= 15) {
    std::uint64_t whole = 0;
    std::size_t at = digits_at;
    while (at < text.size() && is_digit(text[at])) whole = whole * 10 + (text[at++] - '0');
    if (at == text.size()) {
      double magnitude = static_cast<double>(whole);
      return digits_at == 0 ? magnitude : -magnitude;
    }
  }
  double value = 0.0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
  if (ptr != end) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    double magnitude = overflows(text) ? std::numeric_limits<double>::infinity() : 0.0;
    return text.starts_with('-') ? -magnitude : magnitude;
  }
  if (ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace zolang
