#include "UserDefaultsWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include "FileWatchSource.h"
#include "platform/foundation/UserDefaults.h"

namespace dispatch {

namespace {

using foundation::UserDefaults;

std::shared_ptr<Queue> readQueue() {
    static const auto queue = Queue::createSerial("com.tavlo.settings-refresh");
    return queue;
}

// Reads on the serial queue, so versions are laid in on the main queue in the
// order they were read.
void readAndHandOn(const UserDefaults::ReadFolderChange& read, const UserDefaults::FolderChange& change) {
    if (auto adopt = read(change)) Queue::main()->async(std::move(adopt));
}

std::shared_ptr<void> watchFolder(const std::filesystem::path& folder, UserDefaults::ReadFolderChange read) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto source = FileWatchSource::createForFolder(fd, FileWatchSource::Entries | FileWatchSource::Overflow, readQueue());
    ::close(fd);  // the source keeps a descriptor of its own
    if (!source) return nullptr;
    source->setHandler([read](unsigned events, const std::set<std::string>& names) {
        readAndHandOn(read, {(events & FileWatchSource::Overflow) != 0, names});
    });
    source->resume();
    // A file replaced between a suite's first read and the watch's start left
    // no event.
    readQueue()->async([read] { readAndHandOn(read, {true, {}}); });
    return std::shared_ptr<void>(source.get(), [source](void*) { source->cancel(); });
}

}  // namespace

void UserDefaultsWatch::install() {
    UserDefaults::setFolderWatcher(watchFolder);
}

void UserDefaultsWatch::uninstall() {
    UserDefaults::setFolderWatcher(nullptr);
}

}  // namespace dispatch
