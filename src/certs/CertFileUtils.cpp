#include "certs/CertFileUtils.h"

#include "certs/SslSupport.h"
#include "files/BoundedRead.h"
#include "files/Secret.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

namespace orvo {

namespace {

// The file as written a moment ago; it is ours, but a link or a FIFO under
// its name is still never read.
void readWholeFile(const std::string& path, std::string& bytes) {
  const files::ReadResult read = files::ReadRegularFile(path, bytes);
  if (read.status == files::ReadStatus::Missing || read.status == files::ReadStatus::Failed) {
    throw EFileError("Cannot open file \"" + path + "\". " + read.error);
  }
  if (!read.Ok()) {
    throw EFileError("Cannot read file \"" + path + "\". " + read.error);
  }
}

// Drops the blank lines of a sequence of code units (bytes or UTF-16 units)
// and ends every remaining line with CR LF.
template <typename Unit> std::vector<Unit> cleanLines(const std::vector<Unit>& text) {
  std::vector<Unit> out;
  out.reserve(text.size() + text.size() / 32);
  std::size_t start = 0;
  auto flush = [&](std::size_t end) {
    bool blank = true;
    for (std::size_t i = start; i < end && blank; ++i) {
      blank = static_cast<unsigned>(text[i]) <= 32u;
    }
    if (!blank) {
      out.insert(out.end(), text.begin() + static_cast<std::ptrdiff_t>(start),
                 text.begin() + static_cast<std::ptrdiff_t>(end));
      out.push_back(Unit('\r'));
      out.push_back(Unit('\n'));
    }
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == Unit('\r') || text[i] == Unit('\n')) {
      flush(i);
      if (text[i] == Unit('\r') && i + 1 < text.size() && text[i + 1] == Unit('\n')) {
        ++i;
      }
      start = i + 1;
    }
  }
  flush(text.size());
  return out;
}

std::string cleanUtf16(std::string_view body, bool bigEndian) {
  std::vector<char16_t> units;
  units.reserve(body.size() / 2);
  for (std::size_t i = 0; i + 1 < body.size(); i += 2) {
    const auto a = static_cast<unsigned char>(body[i]);
    const auto b = static_cast<unsigned char>(body[i + 1]);
    units.push_back(static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a)));
  }
  std::string out;
  for (const char16_t u : cleanLines(units)) {
    const auto hi = static_cast<char>(u >> 8);
    const auto lo = static_cast<char>(u & 0xFF);
    out.push_back(bigEndian ? hi : lo);
    out.push_back(bigEndian ? lo : hi);
  }
  return out;
}

std::string cleanBytes(std::string_view body) {
  const std::vector<char> bytes(body.begin(), body.end());
  const auto out = cleanLines(bytes);
  return std::string(out.begin(), out.end());
}

} // namespace

bool RemoveEmptyLines(const std::string& aFileName) {
  // The text may be a private key: both buffers are wiped when done.
  files::SecretText text;
  readWholeFile(aFileName, text.Text());
  const std::string_view view(text.Text());
  files::SecretText cleanedText;
  std::string& cleaned = cleanedText.Text();
  if (view.substr(0, 3) == "\xEF\xBB\xBF") {
    cleaned = "\xEF\xBB\xBF" + cleanBytes(view.substr(3));
  } else if (view.substr(0, 2) == "\xFF\xFE") {
    cleaned = "\xFF\xFE" + cleanUtf16(view.substr(2), false);
  } else if (view.substr(0, 2) == "\xFE\xFF") {
    cleaned = "\xFE\xFF" + cleanUtf16(view.substr(2), true);
  } else {
    cleaned = cleanBytes(view);
  }
  std::string error;
  return ck::detail::writeFileReplacing(aFileName, cleaned, ck::detail::FileKind::Public, error);
}

} // namespace orvo
