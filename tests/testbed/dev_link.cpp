// Names under /dev that tests publish for a pty, so that fwld can be given
// a bare device name or a numbered port.
#include <cerrno>

#include <unistd.h>

#include "testbed.h"

namespace testbed {

DevLink::DevLink(const std::string& prefix, const std::string& target, int first, int last) {
    for (int n = first; n <= last; ++n) {
        path_ = "/dev/" + prefix + std::to_string(n);
        // symlink() fails on an existing name: tests side by side never share one.
        if (symlink(target.c_str(), path_.c_str()) == 0) return;
        if (errno != EEXIST) break;
    }
    path_.clear();
}

DevLink::DevLink(const std::string& prefix, const std::string& target)
    : DevLink(prefix, target, 9000 + static_cast<int>(getpid() % 500) * 2, 9999) {}

DevLink::~DevLink() {
    if (!path_.empty()) unlink(path_.c_str());
}

}  // namespace testbed
