// A file that whole lines are appended to, each at once and safely on disk before the next: a
// line is either there complete or not at all, whatever the disk or a crash does. Qt-free.
#pragma once

#include <string>

class DurableLineFile
{
public:
    DurableLineFile() = default;
    ~DurableLineFile();
    DurableLineFile(const DurableLineFile&) = delete;
    DurableLineFile& operator=(const DurableLineFile&) = delete;

    // Opens the file for appending, creating it if needed. False, with the system's reason, when
    // it cannot be written.
    bool open(const std::string& path, std::string& error);
    bool isOpen() const { return descriptor >= 0; }

    // Appends the line (which ends with its line feed) in one write and syncs it to disk. When
    // the write fails or falls short, the file is cut back to its size before the line, so that
    // no torn line is left; false, with the system's reason. A file that ended in a torn line of
    // someone else's when it was opened gets a line feed first, so that this line stands alone.
    bool append(const std::string& line, std::string& error);

private:
    int descriptor = -1;
    bool regular = false; // a regular file, which can be synced and cut back
    bool startsMidLine = false;
};
