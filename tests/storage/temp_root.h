// A throw-away device root for the storage unit tests: PANELD_ROOT points at
// it while the test runs, so device paths resolve inside it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/harness/harness.h"

class TempRoot {
 public:
  TempRoot() {
    char tmpl[] = "/tmp/paneld-storage-XXXXXX";
    path_ = mkdtemp(tmpl);
    setenv("PANELD_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    unsetenv("PANELD_ROOT");
    harness::run("rm -rf '" + path_ + "'");
  }
  std::string file(const std::string& dev) const { return path_ + dev; }
  void mkdirs(const std::string& dev) const { harness::run("mkdir -p '" + file(dev) + "'"); }
  void write(const std::string& dev, const std::string& data) const {
    std::string f = file(dev);
    harness::run("mkdir -p '" + f.substr(0, f.rfind('/')) + "'");
    std::ofstream o(f, std::ios::binary | std::ios::trunc);
    o << data;
  }
  std::string read(const std::string& dev) const {
    std::ifstream f(file(dev), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool exists(const std::string& dev) const {
    struct stat st;
    return lstat(file(dev).c_str(), &st) == 0;
  }

 private:
  std::string path_;
};
