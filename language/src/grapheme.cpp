#include "grapheme.hpp"

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <climits>
#include <cstdint>

namespace zolang {

GraphemeWalker::~GraphemeWalker() {
  if (breaker) ubrk_close(breaker);
  if (utext) utext_close(utext);
}

bool GraphemeWalker::open_icu() {
  // ICU's break iterator reports positions as 32-bit integers.
  if (icu_failed || text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  UErrorCode status = U_ZERO_ERROR;
  utext = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
  if (U_SUCCESS(status)) breaker = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
  if (U_SUCCESS(status)) ubrk_setUText(breaker, utext, &status);
  if (U_FAILURE(status)) {
    icu_failed = true;
    return false;
  }
  return true;
}

std::size_t GraphemeWalker::cluster_end_slow(std::size_t offset) {
  if (breaker || open_icu()) {
    int32_t end = ubrk_following(breaker, static_cast<int32_t>(offset));
    if (end != UBRK_DONE && static_cast<std::size_t>(end) > offset) {
      return static_cast<std::size_t>(end);
    }
  }
  // Without ICU (or on text it cannot place), fall back to one code point.
  int32_t index = 0;
  UChar32 code_point = 0;
  auto rest = text.substr(offset);
  int32_t length = rest.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(rest.size());
  U8_NEXT(reinterpret_cast<const uint8_t*>(rest.data()), index, length, code_point);
  (void)code_point;
  return offset + static_cast<std::size_t>(index > 0 ? index : 1);
}

namespace {

bool attaches_to_next(UChar32 code_point) {
  return code_point >= 0 &&
         u_getIntPropertyValue(code_point, UCHAR_GRAPHEME_CLUSTER_BREAK) == U_GCB_PREPEND;
}

bool attaches_to_previous(UChar32 code_point) {
  if (code_point < 0) return true;  // ill-formed: let the walk decide
  auto kind = u_getIntPropertyValue(code_point, UCHAR_GRAPHEME_CLUSTER_BREAK);
  return kind == U_GCB_EXTEND || kind == U_GCB_ZWJ || kind == U_GCB_SPACING_MARK;
}

}  // namespace

bool GraphemeWalker::stands_alone(std::size_t offset) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t byte = bytes[offset];
  if (byte >= 0x80 || byte == '\r' || byte == '\n') return false;
  const bool ascii_before = offset == 0 || bytes[offset - 1] < 0x80;
  const bool ascii_after = offset + 1 == text.size() || bytes[offset + 1] < 0x80;
  if (ascii_before && ascii_after) return true;
  // The walk falls back to code points where ICU is not used; only a walk
  // gives that answer.
  if (icu_failed || text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto size = static_cast<int32_t>(text.size());
  if (!ascii_before) {
    auto index = static_cast<int32_t>(offset);
    UChar32 previous = 0;
    U8_PREV(bytes, 0, index, previous);
    if (previous < 0 || attaches_to_next(previous)) return false;
  }
  if (!ascii_after) {
    auto index = static_cast<int32_t>(offset + 1);
    UChar32 next = 0;
    U8_NEXT(bytes, index, size, next);
    if (attaches_to_previous(next)) return false;
  }
  return true;
}

bool is_whitespace_cluster(std::string_view cluster) {
  if (cluster.empty()) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(cluster.data());
  int32_t length = static_cast<int32_t>(cluster.size());
  int32_t index = 0;
  while (index < length) {
    UChar32 code_point = 0;
    U8_NEXT(bytes, index, length, code_point);
    if (code_point < 0 || !u_hasBinaryProperty(code_point, UCHAR_WHITE_SPACE)) return false;
  }
  return true;
}

}  // namespace zolang
