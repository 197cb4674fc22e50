#include "support/test_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TestRoot::TestRoot() {
    const char *tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/telagent-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) old_cwd_ = cwd;
    setenv("TELAGENT_ROOT", root_.c_str(), 1);
    if (chdir(root_.c_str()) != 0) throw std::runtime_error("chdir to test root failed");
}

TestRoot::~TestRoot() {
    if (!old_cwd_.empty() && chdir(old_cwd_.c_str()) != 0) {
        // nothing sensible to do in a destructor
    }
    if (std::getenv("TELAGENT_KEEP_ROOT") == nullptr) {
        std::error_code ec;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(root_, ec);
    }
}

void TestRoot::mkdirs(const std::string &device_path) const {
    fs::create_directories(at(device_path));
}

void TestRoot::write(const std::string &device_path, const std::string &content) const {
    fs::path p = at(device_path);
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string TestRoot::read(const std::string &device_path) const { return slurp(at(device_path)); }

bool TestRoot::exists(const std::string &device_path) const { return fs::exists(at(device_path)); }

std::string slurp(const std::string &machine_path) {
    std::ifstream f(machine_path, std::ios::binary);
    if (!f) return {};
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}
