#include "service/status_command.h"

#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "service/console.h"
#include "support/data_folder.h"
#include "support/service_names.h"
#include "support/status_report.h"
#include "support/status_snapshot.h"

namespace {

std::wstring failurePrefix() {
    return std::wstring(L"Unable to read the state of ") + kServiceDisplayName + L" - ";
}

int notRunning() {
    consolePrint(std::wstring(kServiceDisplayName) + L" is not running.\n");
    return kStatusNotRunning;
}

// The snapshot file's bytes; false (with the exit code) when there are none.
bool readSnapshot(std::string& bytes, int& code) {
    std::wstring dataDir;
    const std::int32_t hr = dataFolderPath(dataDir);
    if (hr != 0) {
        printFailure(failurePrefix(), static_cast<std::uint32_t>(hr));
        code = kStatusUnknown;
        return false;
    }
    const std::uint32_t error =
        platform::files().readWholeFile(dataFilePath(dataDir, kStatusFileName), bytes);
    if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
        code = notRunning();
        return false;
    }
    if (error != 0) {
        printFailure(failurePrefix(), error);
        if (error == platform::kErrorAccessDenied)
            consolePrint(std::string("Only administrators may read it.\n"));
        code = kStatusUnknown;
        return false;
    }
    return true;
}

}  // namespace

int showRelayStatus() {
    std::string bytes;
    int code = kStatusUnknown;
    if (!readSnapshot(bytes, code))
        return code;
    RelayStatus status;
    if (!parseSnapshot(bytes, status)) {
        consolePrint(failurePrefix() + kStatusFileName + L" is not a state file\n");
        return kStatusUnknown;
    }
    // A relay that ended without removing it (killed, or the machine went
    // down) stopped renewing it.
    if (snapshotStale(status, platform::clock().nowTicks()))
        return notRunning();
    consolePrint(statusReport(status));
    return kStatusRunning;
}
