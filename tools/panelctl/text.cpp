// Text on the overlay: `overlay-text` renders text with FreeType into a PNG
// and sends it as a small overlay frame (102); `sensors` does the same every
// second with this host's CPU temperature and load, over whatever plays.
#include <ft2build.h>
#include FT_FREETYPE_H
#include <dirent.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/panelctl/panelctl.h"

namespace {

constexpr const char* kDefaultFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

struct TextStyle {
  std::string font = kDefaultFont;
  unsigned size = 48;
  uint32_t color = 0xFFFFFFFF;       // RRGGBBAA
  uint32_t background = 0x00000080;  // RRGGBBAA
  unsigned x = 0, y = 0;
};
TextStyle style;

// "RRGGBB" or "RRGGBBAA" (opaque when AA is left out).
CLI::Validator rgba_color() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        std::string hex = s[0] == '#' ? s.substr(1) : s;
        if ((hex.size() != 6 && hex.size() != 8) ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
          return "'" + s + "' is not a colour RRGGBB or RRGGBBAA";
        if (hex.size() == 6) hex += "ff";
        s = std::to_string(std::stoul(hex, nullptr, 16));
        return "";
      },
      "RRGGBB[AA]");
}

// One code point of UTF-8 text at *i (moved past it).
uint32_t next_code_point(const std::string& s, size_t* i) {
  const unsigned char c = static_cast<unsigned char>(s[*i]);
  const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  uint32_t cp = extra ? c & (0x3F >> extra) : c;
  for (int k = 1; k <= extra && *i + k < s.size(); k++)
    cp = (cp << 6) | (static_cast<unsigned char>(s[*i + k]) & 0x3F);
  *i += 1 + extra;
  return cp;
}

// A font at one pixel size.
class Font {
 public:
  ~Font() {
    if (face_) FT_Done_Face(face_);
    if (lib_) FT_Done_FreeType(lib_);
  }
  bool load(const std::string& path, unsigned size, std::string* why) {
    if (FT_Init_FreeType(&lib_) != 0) {
      lib_ = nullptr;
      *why = "cannot start FreeType";
      return false;
    }
    if (FT_New_Face(lib_, path.c_str(), 0, &face_) != 0) {
      face_ = nullptr;
      *why = "cannot load the font " + path;
      return false;
    }
    FT_Set_Pixel_Sizes(face_, 0, size);
    return true;
  }
  int line_height() const { return static_cast<int>(face_->size->metrics.height >> 6); }
  int ascent() const { return static_cast<int>(face_->size->metrics.ascender >> 6); }
  // Runs `draw` for each glyph of the line at its pen position (may be
  // empty); returns the line's width.
  int line(const std::string& text, const std::function<void(int, FT_GlyphSlot)>& draw) {
    int pen = 0;
    for (size_t i = 0; i < text.size();) {
      if (FT_Load_Char(face_, next_code_point(text, &i), FT_LOAD_RENDER) != 0) continue;
      if (draw) draw(pen, face_->glyph);
      pen += static_cast<int>(face_->glyph->advance.x >> 6);
    }
    return pen;
  }

 private:
  FT_Library lib_ = nullptr;
  FT_Face face_ = nullptr;
};

struct Picture {
  int w = 0, h = 0;
  std::vector<uint8_t> rgba;  // straight alpha
};

// Lays a glyph's coverage in `fg` over the picture at (x0, y0).
void blend_glyph(FT_GlyphSlot g, int x0, int y0, uint32_t fg, Picture* pic) {
  const unsigned c[4] = {fg >> 24, (fg >> 16) & 0xFF, (fg >> 8) & 0xFF, fg & 0xFF};
  for (unsigned r = 0; r < g->bitmap.rows; r++)
    for (unsigned col = 0; col < g->bitmap.width; col++) {
      const int x = x0 + static_cast<int>(col), y = y0 + static_cast<int>(r);
      if (x < 0 || y < 0 || x >= pic->w || y >= pic->h) continue;
      const unsigned cov = g->bitmap.buffer[r * unsigned(g->bitmap.pitch) + col] * c[3] / 255;
      uint8_t* p = &pic->rgba[(size_t(y) * pic->w + x) * 4];
      for (int k = 0; k < 3; k++) p[k] = uint8_t((c[k] * cov + p[k] * (255 - cov)) / 255);
      p[3] = uint8_t(cov + p[3] * (255 - cov) / 255);
    }
}

bool encode_png(const Picture& pic, std::vector<uint8_t>* png, std::string* why) {
  png_image img;
  memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  img.width = uint32_t(pic.w);
  img.height = uint32_t(pic.h);
  img.format = PNG_FORMAT_RGBA;
  png_alloc_size_t len = 0;
  if (png_image_write_get_memory_size(img, len, 0, pic.rgba.data(), 0, nullptr)) {
    png->resize(len);
    if (png_image_write_to_memory(&img, png->data(), &len, 0, pic.rgba.data(), 0, nullptr)) {
      png->resize(len);
      return true;
    }
  }
  *why = std::string("PNG: ") + img.message;
  return false;
}

// Draws UTF-8 lines on the background colour and encodes them as a PNG.
bool render_png(const std::vector<std::string>& lines, const TextStyle& st,
                std::vector<uint8_t>* png, std::string* why) {
  Font font;
  if (!font.load(st.font, st.size, why)) return false;
  const int pad = static_cast<int>(st.size) / 4;
  int width = 1;
  for (auto& l : lines) width = std::max(width, font.line(l, nullptr));
  Picture pic;
  pic.w = width + 2 * pad;
  pic.h = font.line_height() * static_cast<int>(lines.size()) + 2 * pad;
  pic.rgba.resize(size_t(pic.w) * pic.h * 4);
  for (size_t i = 0; i < pic.rgba.size(); i += 4)
    for (int k = 0; k < 4; k++) pic.rgba[i + k] = uint8_t(st.background >> (24 - 8 * k));
  for (size_t n = 0; n < lines.size(); n++) {
    const int base = pad + static_cast<int>(n) * font.line_height() + font.ascent();
    font.line(lines[n], [&](int pen, FT_GlyphSlot g) {
      blend_glyph(g, pad + pen + g->bitmap_left, base - g->bitmap_top, st.color, &pic);
    });
  }
  return encode_png(pic, png, why);
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string cur;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\n' || (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n')) {
      lines.push_back(cur);
      cur.clear();
      if (text[i] == '\\') i++;
    } else {
      cur += text[i];
    }
  }
  lines.push_back(cur);
  return lines;
}

int overlay_text(Panelctl& ctl, const std::string& text) {
  std::vector<uint8_t> png;
  std::string why;
  if (!render_png(split_lines(text), style, &png, &why)) return ctl.fail(why);
  if (int st = panel_ready(ctl, "the text", false)) return st;
  return send_png_data(ctl, png, "the rendered text", style.x, style.y, true);
}

void add_style(CLI::App* s) {
  add_ranged(s, "--x", style.x, "column on the overlay", 0u, 65535u);
  add_ranged(s, "--y", style.y, "row on the overlay", 0u, 65535u);
  s->add_option("--font", style.font, "TrueType or OpenType font file")
      ->check(CLI::ExistingFile)
      ->capture_default_str();
  add_ranged(s, "--size", style.size, "text height in pixels", 6u, 400u);
  s->add_option("--color", style.color, "text colour")
      ->transform(rgba_color())
      ->option_text("RRGGBB[AA]");
  s->add_option("--background", style.background, "background colour (00000000: none)")
      ->transform(rgba_color())
      ->option_text("RRGGBB[AA]");
}

// CPU time counters of /proc/stat's first line.
struct CpuTimes {
  unsigned long long busy = 0, total = 0;
};
bool read_cpu(CpuTimes* t) {
  std::ifstream f("/proc/stat");
  std::string cpu;
  unsigned long long v[8] = {};
  if (!(f >> cpu) || cpu != "cpu") return false;
  for (auto& x : v) f >> x;
  t->total = 0;
  for (auto x : v) t->total += x;
  t->busy = t->total - v[3] - v[4];  // all but idle and iowait
  return true;
}

std::string read_line(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

// The CPU temperature in °C from the hwmon device of the processor (else
// the first with a temperature), or "n/a".
std::string cpu_temperature() {
  static const char* const kCpuSensors[] = {"coretemp",    "k10temp",     "zenpower",
                                            "cpu_thermal", "soc_thermal", "acpitz"};
  std::string first;
  DIR* d = opendir("/sys/class/hwmon");
  for (struct dirent* e; d && (e = readdir(d));) {
    if (e->d_name[0] == '.') continue;
    const std::string dir = std::string("/sys/class/hwmon/") + e->d_name;
    const std::string milli = read_line(dir + "/temp1_input");
    if (milli.empty()) continue;
    char text[16];
    snprintf(text, sizeof text, "%.0f°C", atof(milli.c_str()) / 1000);
    const std::string name = read_line(dir + "/name");
    for (const char* cpu : kCpuSensors)
      if (name == cpu) {
        closedir(d);
        return text;
      }
    if (first.empty()) first = text;
  }
  if (d) closedir(d);
  return first.empty() ? "n/a" : first;
}

std::atomic<bool> g_stop{false};
void on_stop(int) { g_stop = true; }

// Every `interval` seconds: this host's readings as an overlay, `count`
// times (0: until Ctrl-C).
int sensors(Panelctl& ctl, double interval, unsigned count) {
  if (int st = panel_ready(ctl, "the readings", false)) return st;
  signal(SIGINT, on_stop);
  signal(SIGTERM, on_stop);
  CpuTimes prev, now;
  read_cpu(&prev);
  for (unsigned n = 0; !g_stop && (count == 0 || n < count); n++) {
    for (int i = 0; i < int(interval * 20) && !g_stop; i++) usleep(50000);
    read_cpu(&now);
    const unsigned long long dt = now.total - prev.total;
    const int load = dt ? int((now.busy - prev.busy) * 100 / dt) : 0;
    prev = now;
    std::ifstream la("/proc/loadavg");
    std::string avg;
    la >> avg;
    const std::string text =
        "CPU " + cpu_temperature() + "  " + std::to_string(load) + "%\nload " + avg;
    std::vector<uint8_t> png;
    std::string why;
    if (!render_png(split_lines(text), style, &png, &why)) return ctl.fail(why);
    if (send_png_data(ctl, png, "the readings", style.x, style.y, true) != 0) return 1;
  }
  return 0;
}

void setup_text(CLI::App& app) {
  static std::string text;
  auto* s = app.add_subcommand("overlay-text", "draw text on the overlay (102)");
  s->add_option("TEXT", text, "the text; \\n starts a new line")->required();
  add_style(s);
  on_run(s, [](Panelctl& ctl) { return overlay_text(ctl, text); });

  static double interval = 1;
  static unsigned count = 0;
  auto* r = app.add_subcommand(
      "sensors", "show this host's CPU temperature and load on the overlay, every second (102)");
  add_style(r);
  add_ranged(r, "--interval", interval, "seconds between updates", 0.1, 3600.0);
  r->add_option("--count", count, "updates to send (0: until Ctrl-C)")->capture_default_str();
  on_run(r, [](Panelctl& ctl) { return sensors(ctl, interval, count); });
}
PANELCTL_SUBCOMMANDS(setup_text);

}  // namespace
