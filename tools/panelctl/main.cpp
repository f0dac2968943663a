// panelctl: the host tool. Speaks the command protocol over a serial path.
//
//   panelctl [--device PATH] [--json] [--force] [--timeout MS] SUBCOMMAND [ARGS...]
//
// The device path defaults to $PANELCTL_DEVICE, else /dev/ttyACM0.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "tools/cli/cli_help.h"
#include "tools/panelctl/panelctl.h"

namespace {

struct Runner {
  RunFn fn;
  bool needs_line;
};

std::vector<SetupFn>& setups() {
  static std::vector<SetupFn> s;
  return s;
}

std::map<const CLI::App*, Runner>& runners() {
  static std::map<const CLI::App*, Runner> r;
  return r;
}

void add_help(CLI::App& app) {
  auto* sub = app.add_subcommand("help", "show the overview, or one subcommand's arguments");
  static std::string name;
  sub->add_option("SUBCOMMAND", name, "the subcommand to explain");
  on_run_offline(sub, [&app](Panelctl& ctl) {
    if (cli_help::show_help(app, name)) return 0;
    return ctl.fail("unknown subcommand " + name + " (panelctl --help lists them)", 2);
  });
}

}  // namespace

SubcommandSetup::SubcommandSetup(SetupFn fn) { setups().push_back(fn); }

void on_run(CLI::App* sub, RunFn fn) { runners()[sub] = Runner{std::move(fn), true}; }
void on_run_offline(CLI::App* sub, RunFn fn) { runners()[sub] = Runner{std::move(fn), false}; }

CLI::App* add_command(CLI::App& app, const char* name, const char* what, uint8_t code,
                      ParamsFn params, ShowFn show) {
  auto* s = app.add_subcommand(name, what);
  on_run(s, [code, params = std::move(params), show = std::move(show)](Panelctl& ctl) {
    hostlink::Packet r;
    if (!ctl.command(code, params ? params() : std::vector<uint8_t>{}, &r)) return 1;
    show(ctl, r);
    return 0;
  });
  return s;
}

CLI::App* add_simple(CLI::App& app, const char* name, const char* what, uint8_t code,
                     ParamsFn params) {
  return add_command(app, name, what, code, std::move(params),
                     [name](const Panelctl& ctl, const hostlink::Packet&) {
                       ctl.result(std::string(name) + ": ok", Json{{"ok", true}});
                     });
}

void add_byte_setting(CLI::App& app, const ByteSetting& s) {
  auto value = std::make_shared<unsigned>(0);  // the parsed argument
  const std::string key = s.key;
  CLI::App* sub = add_command(
      app, s.name, s.what, s.code,
      [value] { return std::vector<uint8_t>{static_cast<uint8_t>(*value)}; },
      [value, key](const Panelctl& ctl, const hostlink::Packet&) {
        ctl.result(key + " " + std::to_string(*value), Json{{key, *value}});
      });
  sub->add_option(s.arg, *value, s.arg_what)->required()->check(CLI::Range(0u, s.max));
}

bool Panelctl::command(uint8_t code, const std::vector<uint8_t>& params, hostlink::Packet* reply,
                       const uint8_t* payload, size_t payload_len) {
  if (!link.command(code, params, reply, payload, payload_len, timeout_ms)) {
    fail("command " + std::to_string(code) + ": " + link.error());
    return false;
  }
  return true;
}

void Panelctl::result(const std::string& text, const Json& obj) const {
  if (json) {
    printf("%s\n", obj.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
  } else if (!text.empty()) {
    printf("%s\n", text.c_str());
  }
  fflush(stdout);
}

int Panelctl::fail(const std::string& why, int status) const {
  if (json) {
    Json e;
    e["error"] = why;
    e["status"] = status;
    printf("%s\n", e.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    fflush(stdout);
  } else {
    fprintf(stderr, "%spanelctl: %s\n", progress_open ? "\n" : "", why.c_str());
  }
  progress_open = false;
  return status;
}

void Panelctl::note(const std::string& text) const {
  if (!json) fprintf(stderr, "%s%s\n", progress_open ? "\n" : "", text.c_str());
  progress_open = false;
}

bool read_file(const std::string& path, std::vector<uint8_t>* out, std::string* why) {
  errno = 0;
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    *why = "cannot read " + path + ": " + strerror(errno ? errno : ENOENT);
    return false;
  }
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  if (f.bad()) {
    *why = "cannot read " + path + ": " + strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

std::string hex_bytes(const uint8_t* p, size_t n) {
  std::string o;
  char b[4];
  for (size_t i = 0; i < n; i++) {
    snprintf(b, sizeof b, "%02x", p[i]);
    if (i) o += ' ';
    o += b;
  }
  return o;
}

CLI::Validator byte_value() {
  return CLI::Validator(
      [](std::string& s) -> std::string {
        char* end = nullptr;
        errno = 0;
        unsigned long v = strtoul(s.c_str(), &end, 0);
        if (s.empty() || s[0] == '-' || *end || errno || v > 255)
          return "'" + s + "' is not a byte (0..255 or 0x00..0xff)";
        s = std::to_string(v);
        return "";
      },
      "BYTE");
}

namespace {

int run(Panelctl& ctl, int argc, char** argv) {
  const char* env = getenv("PANELCTL_DEVICE");
  ctl.device = env ? env : "/dev/ttyACM0";

  CLI::App app{"panelctl: drives the panel's daemon over its USB serial line", "panelctl"};
  app.formatter(std::make_shared<cli_help::Formatter>());
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("-d,--device", ctl.device,
                 "serial line of the device (default: $PANELCTL_DEVICE, else /dev/ttyACM0)")
      ->option_text("PATH")
      ->capture_default_str();
  app.add_flag("--json", ctl.json, "one JSON object per result (and per error) on stdout");
  app.add_flag("--force", ctl.force,
               "send media even when the checks say the device will not show it");
  add_ranged(&app, "--timeout", ctl.timeout_ms, "reply time-out in ms, 1..600000 (default 5000)", 1,
             600000)
      ->option_text("MS");
  app.footer("panelctl help SUBCOMMAND shows a subcommand's arguments.\n");
  add_help(app);
  for (SetupFn fn : setups()) fn(app);

  const int parsed =
      cli_help::parse(app, argc, argv, [&](const std::string& m) { return ctl.fail(m, 2); });
  if (parsed >= 0) return parsed;
  CLI::App* chosen = app.get_subcommands().front();
  auto it = runners().find(chosen);
  if (it == runners().end()) return ctl.fail("nothing to run for " + chosen->get_name(), 2);
  if (it->second.needs_line && !ctl.link.open(ctl.device)) return ctl.fail(ctl.link.error());
  return it->second.fn(ctl);
}

}  // namespace

int main(int argc, char** argv) {
  Panelctl ctl;
  try {
    return run(ctl, argc, argv);
  } catch (const std::exception& e) {
    // Out of memory or a library's error: the reason in one line, not an abort.
    fprintf(stderr, "panelctl: %s\n", e.what());
    return 1;
  }
}
