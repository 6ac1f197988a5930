// ReadTextFile reads local manifests through a 4 KiB buffer; a CR LF split
// across two fills, Ctrl-Z anywhere and zero bytes must all give the same
// lines as reading byte by byte. Inputs go through a real file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_util.h"
#include "line_model.h"
#include "version/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzzutil::ScratchDir dir("textfile");
  static const std::string path = dir / "input.txt";
  fuzzutil::WriteWhole(path, data, size);

  std::string text = "left over";
  FUZZ_CHECK(ReadTextFile(path, text), "an existing file was reported missing");
  const std::string expected = fuzzmodel::TextFileLines(data, size);
  if (text != expected) {
    size_t at = 0;
    while (at < text.size() && at < expected.size() && text[at] == expected[at]) ++at;
    fuzzutil::Fail(
        "lines differ from byte %zu of %zu (expected %zu bytes): got \"%s\", expected \"%s\"", at,
        text.size(), expected.size(), fuzzutil::Printable(text.substr(at), 60).c_str(),
        fuzzutil::Printable(expected.substr(at), 60).c_str());
  }
  FUZZ_CHECK(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0,
             "text does not end with CR LF");
  return 0;
}
