#pragma once
// A temporary device root for one test case: created empty under $TMPDIR,
// exported as TELAGENT_ROOT and as the working directory, removed afterwards.
#include <string>

class TestRoot {
public:
    TestRoot();
    ~TestRoot();
    TestRoot(const TestRoot &) = delete;
    TestRoot &operator=(const TestRoot &) = delete;

    const std::string &path() const { return root_; }
    // Machine path of a device path ("/iot/log" -> "<root>/iot/log").
    std::string at(const std::string &device_path) const { return root_ + device_path; }

    void mkdirs(const std::string &device_path) const;
    void write(const std::string &device_path, const std::string &content) const;
    std::string read(const std::string &device_path) const;
    bool exists(const std::string &device_path) const;

private:
    std::string root_;
    std::string old_cwd_;
};

// Reads a whole file of this machine; "" when missing.
std::string slurp(const std::string &machine_path);
