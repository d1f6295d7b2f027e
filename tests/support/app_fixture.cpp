#include "support/app_fixture.h"

#include "program/program.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvantel::testing {

TempDir::TempDir(const std::string& base) {
    const std::filesystem::path root = base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
    std::string tmpl = (root / "corvantel-test-XXXXXX").string();
    char* p = ::mkdtemp(tmpl.data());
    if (p == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = p;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}

std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TempDir::exists(const std::string& name) const { return std::filesystem::exists(file(name)); }

void AppTest::make() {
    app_ = std::make_unique<Program>(plat, dir.path());
    app_->w.onMessageBox = [this](const std::string& text) { messages.push_back(text); };
    app_->w.onMinimise = [this] { ++minimised; };
}

void AppTest::fillJobs() {
    auto& w = app_->w;
    w.Text1.setText("127.0.0.1");
    w.fText3.setText("u");
    w.fText4.setText("p");
    w.Text2.setText("/");
    w.Text7.setText("*.jpg");
    w.Text3.setText("127.0.0.1");
    w.Text4.setText("u");
    w.Text5.setText("p");
    w.Text6.setText("/");
}

void AppTest::start() {
    make();
    app_->startUp();
}

std::string verdictOf(const std::string& log, const std::string& name) {
    std::string found;
    for (auto& line : platform::files::splitLines(log))
        if (line.find(" " + name + " ") != std::string::npos) found = line.substr(line.rfind(' ') + 1);
    return found;
}

}  // namespace corvantel::testing
