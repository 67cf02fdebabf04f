// The group mappings file: one "domain,name,sid" line per group, in SID
// order, rewritten whole through a temporary file with a backup of the
// previous version.
#include <exception>
#include <istream>
#include <memory>
#include <ostream>
#include <streambuf>

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"
#include "support/text_conversion.h"
#include "userinfo/user_information.h"

namespace {

const wchar_t* const kCurrentFile = L"group_mappings.txt";
const wchar_t* const kTemporaryFile = L"group_mappings.txt.tmp";
const wchar_t* const kBackupFile = L"group_mappings.txt~";

const char* const kReadOp = "UserInformation::readGroupMappingsFromDisk()";
const char* const kWriteOp = "UserInformation::writeGroupMappingsToDisk()";

constexpr std::size_t kExpectedFields = 3;

// No real mapping comes near this: names and domains are at most 255 UTF-16
// units. Longer lines are counted but not kept, so a damaged file cannot
// make the reader hold an arbitrarily large line in memory.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

struct Line {
    std::string text;  // at most kMaxLineBytes
    bool overlong = false;
    std::size_t commas = 0;
    char last = '\0';
    char beforeLast = '\0';
};

// The next byte, or eof. A read error counts as the end of the input and is
// flagged: the stream buffer reports it by throwing, which must not end the
// process that is starting.
int nextByte(std::streambuf& buffer, bool& readFailed) {
    try {
        return buffer.sbumpc();
    } catch (const std::exception&) {
        readFailed = true;
        return std::char_traits<char>::eof();
    }
}

// One line without its line feed; false at end of input with nothing read,
// and after a read error (the line in progress may be cut anywhere, so it is
// not used).
bool readLine(std::istream& in, Line& line, bool& readFailed) {
    line = Line();
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr || readFailed)
        return false;
    bool any = false;
    for (;;) {
        const int c = nextByte(*buffer, readFailed);
        if (readFailed)
            return false;
        if (c == std::char_traits<char>::eof())
            return any;
        any = true;
        if (c == '\n')
            return true;
        const char ch = static_cast<char>(c);
        if (ch == ',')
            ++line.commas;
        line.beforeLast = line.last;
        line.last = ch;
        if (line.text.size() < kMaxLineBytes) {
            line.text.push_back(ch);
        } else {
            line.overlong = true;
        }
    }
}

// Fields as the format defines them: split at every comma, with no field
// after a comma that ends the line, and none at all for an empty line.
std::size_t overlongFieldCount(const Line& line) {
    const char last = line.last == '\r' ? line.beforeLast : line.last;
    return line.commas + (last == ',' ? 0 : 1);
}

void reportFieldCount(std::size_t fields) {
    (LogMessage(kReadOp) << L", error in group mappings file, line contained " << fields
                         << L" csv strings, expected " << kExpectedFields)
        .log();
}

void reportBadMapping() {
    (LogMessage(kReadOp) << L", error reading group mappings").log();
}

// Adds the mapping of one line, or reports why the line is skipped.
void parseLine(Line& line, std::map<std::wstring, AccountInfo>& mappings) {
    if (line.overlong) {
        const std::size_t fields = overlongFieldCount(line);
        if (fields != kExpectedFields) {
            reportFieldCount(fields);
        } else {
            reportBadMapping();
        }
        return;
    }
    // A line ending in CR LF reads like one ending in a bare line feed,
    // whether or not the stream translated it.
    if (!line.text.empty() && line.text.back() == '\r')
        line.text.pop_back();

    const std::vector<std::string> fields = splitString(line.text, ",");
    if (fields.size() != kExpectedFields) {
        reportFieldCount(fields.size());
        return;
    }
    if (fields[0].empty() || fields[1].empty() || fields[2].empty()) {
        reportBadMapping();
        return;
    }
    AccountInfo group;
    try {
        group.domain = utf8ToWide(fields[0]);
        group.name = utf8ToWide(fields[1]);
        group.sid = utf8ToWide(fields[2]);
    } catch (const std::exception&) {
        // Junk in a hand-edited file must not stop the service from starting.
        reportBadMapping();
        return;
    }
    // A field that starts with a NUL byte converts to nothing.
    if (group.domain.empty() || group.name.empty() || group.sid.empty()) {
        reportBadMapping();
        return;
    }
    mappings[group.sid] = std::move(group);
}

// A file that is not there yet (before the first and second rewrites) has
// nothing to be moved or deleted: no failure.
void reportSwapFailure(std::uint32_t error, const wchar_t* text) {
    if (error != 0 && !platform::isNotFound(error))
        logEvent(text, kEventTypeError);
}

// The current file, or the backup when a rewrite was cut off between its two
// renames and left no current file: the backup then holds the only copy of
// the mappings. Null when neither can be read. No file at all is a first
// run, not a failure.
std::unique_ptr<std::istream> openForRead(const std::wstring& current, const std::wstring& backup) {
    platform::Files& files = platform::files();
    std::uint32_t error = 0;
    std::unique_ptr<std::istream> in = files.openTextForRead(current, error);
    if (in && !in->fail())
        return in;
    if (!platform::isNotFound(error))
        (LogMessage(kReadOp) << L", failed to open group mappings file for reading").log();
    if (files.fileExists(current) || !files.fileExists(backup))
        return nullptr;
    in = files.openTextForRead(backup, error);
    if (!in || in->fail())
        return nullptr;
    (LogMessage(kReadOp) << L", no group mappings file, reading the backup group mappings file "
                            L"instead")
        .log(kEventTypeWarning);
    return in;
}

// Every line of the stream that parses; a read error ends the reading.
std::map<std::wstring, AccountInfo> parseMappings(std::istream& in) {
    std::map<std::wstring, AccountInfo> mappings;
    Line line;
    bool readFailed = false;
    while (readLine(in, line, readFailed))
        parseLine(line, mappings);
    if (readFailed)
        (LogMessage(kReadOp)
         << L", failed to read group mappings file, using the lines read so far")
            .log();
    return mappings;
}

// Writes the temporary file whole; false, reported, when it could not be.
bool writeTemporary(const std::map<std::wstring, AccountInfo>& mappings,
                    const std::wstring& temporary) {
    std::unique_ptr<std::ostream> out = platform::files().openTextForWrite(temporary);
    if (!out || out->fail()) {
        (LogMessage(kWriteOp) << L", failed to open new group mappings file for writing").log();
    }
    if (out) {
        for (const auto& entry : mappings) {
            const AccountInfo& group = entry.second;
            *out << wideToUtf8(group.domain) << ',' << wideToUtf8(group.name) << ','
                 << wideToUtf8(group.sid) << '\n';
            if (out->fail())
                break;
        }
        // Buffered bytes that cannot be written show up only here; an
        // incomplete file must never replace the current one.
        if (!out->fail())
            out->flush();
    }
    if (!out || out->fail()) {
        (LogMessage(kWriteOp) << L", error writing to group mappings file").log();
        return false;
    }
    return true;  // the stream closes here, before the file is moved
}

// Each step runs whatever the previous one did; only a complete temporary
// file ever becomes the current one. Without a current file the backup is
// the only copy left of what was stored: it stays until the new file has
// taken the current one's place.
void swapIntoPlace(const std::wstring& temporary, const std::wstring& current,
                   const std::wstring& backup) {
    platform::Files& files = platform::files();
    const bool backupIsOnlyCopy = !files.fileExists(current) && files.fileExists(backup);
    if (!backupIsOnlyCopy)
        reportSwapFailure(files.deleteFile(backup), L"failed to delete backup group mappings file");
    reportSwapFailure(files.moveFileNoReplace(current, backup),
                      L"failed to rename old group mappings file");
    // The new file must be there: its absence is a failure like any other.
    if (files.moveFileNoReplace(temporary, current) != 0)
        logEvent(L"failed to rename new group mappings file", kEventTypeError);
}

}  // namespace

void UserInformation::readGroupMappingsFromDisk() {
    std::map<std::wstring, AccountInfo> mappings;
    {
        // Not while a rewrite is moving the files around.
        std::lock_guard<std::mutex> writing(m_writeMutex);
        const std::unique_ptr<std::istream> in =
            openForRead(filePath(kCurrentFile), filePath(kBackupFile));
        if (!in)
            return;
        mappings = parseMappings(*in);
    }
    const std::size_t count = mappings.size();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_groupMappings.swap(mappings);
    }
    (LogMessage(kReadOp) << L", read " << count << L" group mappings from file")
        .log(kEventTypeInformation);
}

void UserInformation::writeGroupMappingsToDisk() {
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        ++m_mappingsSequence;
    }
    writeLatestMappings();
}

void UserInformation::writeLatestMappings() {
    std::lock_guard<std::mutex> writing(m_writeMutex);
    const MappingsSnapshot snapshot = snapshotMappings();
    // A writer that got here first has written this change already.
    if (snapshot.sequence == m_writtenSequence)
        return;
    m_writtenSequence = snapshot.sequence;
    writeMappingsFile(snapshot.mappings);
}

void UserInformation::writeMappingsFile(const std::map<std::wstring, AccountInfo>& mappings) {
    const std::wstring temporary = filePath(kTemporaryFile);
    if (writeTemporary(mappings, temporary))
        swapIntoPlace(temporary, filePath(kCurrentFile), filePath(kBackupFile));
}
