// Command-line help shared by panelctl and panelsim: an overview that shows
// every subcommand with its arguments, and parse errors in one line that
// name the subcommand and the bad argument.
#pragma once

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>

namespace cli_help {

// "LEVEL", "[FILE...]", "[--port N]" for each argument of a subcommand.
inline std::string synopsis(const CLI::App* sub) {
  std::string out, opts;
  for (const CLI::Option* o : sub->get_options()) {
    if (o == sub->get_help_ptr() || o == sub->get_help_all_ptr()) continue;
    const bool many = o->get_items_expected_max() > 1;
    if (o->nonpositional()) {
      std::string name = o->get_name(false, false);
      if (o->get_expected_max() > 0) {
        std::string meta = o->get_option_text();
        if (meta.empty()) {
          for (char c : name.substr(name.find_first_not_of('-')))
            meta += c == '-' ? '_' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
        name += " " + meta;
      }
      opts += " [" + name + "]";
    } else {
      std::string name = o->get_name() + (many ? "..." : "");
      out += " " + (o->get_required() ? name : "[" + name + "]");
    }
  }
  return out + opts;
}

class Formatter : public CLI::Formatter {
 public:
  Formatter() { column_width(22); }
  std::string make_subcommand(const CLI::App* sub) const override {
    std::stringstream s;
    s << "  " << sub->get_name() << synopsis(sub) << "\n";
    s << "      " << sub->get_description() << "\n";
    return s.str();
  }
  std::string make_usage(const CLI::App* app, std::string name) const override {
    if (app->get_parent() == nullptr) return CLI::Formatter::make_usage(app, name);
    return "Usage: " + app->get_parent()->get_name() + " " + app->get_name() + synopsis(app) + "\n";
  }
};

// The subcommand being parsed when the error came, and the error.
inline std::string one_line(CLI::App& app, const CLI::ParseError& e) {
  std::string where;
  auto subs = app.get_subcommands();
  if (!subs.empty()) where = subs.front()->get_name() + ": ";
  std::string what = e.what();
  if (subs.empty()) {
    const std::vector<std::string> rest = app.remaining();
    if (!rest.empty() && rest.front()[0] != '-') what = "unknown subcommand " + rest.front();
  }
  for (char& c : what)
    if (c == '\n') c = ' ';
  std::string hint = subs.empty() ? app.get_name() + " --help"
                                  : app.get_name() + " help " + subs.front()->get_name();
  return where + what + " (see " + hint + ")";
}

// The work of `help [SUBCOMMAND]`: prints the overview, or the named
// subcommand's help. False when no subcommand has that name.
inline bool show_help(CLI::App& app, const std::string& name) {
  if (name.empty()) {
    // Not app.help(): once `help` itself was parsed, that shows its own help.
    printf(
        "%s",
        app.get_formatter()->make_help(&app, app.get_name(), CLI::AppFormatMode::Normal).c_str());
    return true;
  }
  for (CLI::App* s : app.get_subcommands([](CLI::App*) { return true; }))
    if (s->get_name() == name) {
      printf("%s", s->help().c_str());
      return true;
    }
  return false;
}

// Parses the command line. Returns -1 when the tool should go on, else its
// exit status: 0 after help, or what `report` makes of a one-line error.
template <typename Report>
int parse(CLI::App& app, int argc, char** argv, Report report) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    printf("%s", app.help().c_str());
    return 0;
  } catch (const CLI::ParseError& e) {
    // --help given after a subcommand names that subcommand.
    if (e.get_exit_code() == 0) return app.exit(e);
    return report(one_line(app, e));
  }
  return -1;
}

}  // namespace cli_help
