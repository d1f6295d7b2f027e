#pragma once
// A test fixture: the whole application on the fake platform, with its own
// files in a fresh temporary directory.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "download/session.h"
#include "platform/fake/fake_platform.h"

namespace corvantel::testing {

// A fresh temporary directory, removed with the object.
class TempDir {
public:
    // In base when given (a memory file system for many short runs, say).
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;

private:
    std::string path_;
};

// The last verdict a transfer log holds for a name ("pass", "fail"), or ""
// for none.
std::string verdictOf(const std::string& log, const std::string& name);

class AppTest : public ::testing::Test {
protected:
    // Makes the application without running start-up.
    void make();
    // Makes it and runs start-up.
    void start();
    // Points both jobs at the scripted server on 127.0.0.1 (user u,
    // password p, remote directory /, download pattern *.jpg).
    void fillJobs();
    App& app() { return *app_; }
    platform::Form1& w() { return app_->w; }
    AppState& s() { return app_->s; }
    // The download job's (first) session.
    DownloadSession& dl() { return downloadSession(*app_); }

    platform::fake::FakePlatform plat;
    TempDir dir;
    std::unique_ptr<App> app_;
    std::vector<std::string> messages;   // message boxes shown
    int minimised = 0;
};

}  // namespace corvantel::testing
