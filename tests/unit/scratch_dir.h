// A fresh folder under /tmp for one test, made the current directory while
// the test runs, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

class ScratchDirectory {
public:
    explicit ScratchDirectory(const char* tag) {
        std::string pattern = std::string("/tmp/vantrel-") + tag + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        root_ = pattern;
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(root_);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(root_);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& root() const { return root_; }

private:
    std::filesystem::path root_, previous_;
};
