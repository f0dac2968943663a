// The device's two TrueType fonts, copied from the machine's fonts into a
// new root. Any TrueType font serves; the layouts only depend on the
// rendered glyph sizes.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/panelsim/panelsim.h"

namespace {

const char* const kDejaVu = "/usr/share/fonts/truetype/dejavu/";

// The first source that exists is copied. The offline screen's layout was
// made for a narrow bold face: the condensed one (fonts-dejavu-extra) keeps
// "PUMP" clear of the speed digits; the plain bold one is the fallback.
struct FontCopy {
  const char* device_path;
  const char* sources[2];
};

const FontCopy kFonts[] = {
    {"/media/phei00u.ttf", {"DejaVuSans.ttf", nullptr}},
    {"/media/AgencyGothicCTBold.ttf", {"DejaVuSansCondensed-Bold.ttf", "DejaVuSans-Bold.ttf"}},
};

bool read_all(const char* path, std::vector<char>* out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

int fonts(const std::string& root) {
  if (!make_dirs(root + "/media")) return -1;
  for (const FontCopy& font : kFonts) {
    std::string dst = root + font.device_path;
    if (file_exists(dst)) continue;
    std::vector<char> data;
    for (const char* src : font.sources) {
      if (src && data.empty() && !read_all((std::string(kDejaVu) + src).c_str(), &data))
        data.clear();
    }
    if (data.empty()) {
      fprintf(stderr, "panelsim: no font for %s in %s (install fonts-dejavu-core)\n",
              font.device_path, kDejaVu);
      return -1;
    }
    if (!write_file_if_missing(dst, data.data(), data.size())) return -1;
  }
  return 0;
}
PANELSIM_INIT_STEP(20, "fonts", fonts);

}  // namespace
