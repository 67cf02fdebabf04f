#include "support/data_folder.h"

#include "platform/platform.h"

std::int32_t dataFolderPath(std::wstring& out) {
    platform::Files& files = platform::files();
    std::wstring programData;
    const std::int32_t hr = files.programDataFolder(programData);
    if (hr != 0)
        return hr;
    const wchar_t sep = files.separator();
    out = programData + sep + L"Tarnwicket" + sep + L"VornClient";
    return 0;
}

std::wstring dataFilePath(const std::wstring& dataDir, const wchar_t* fileName) {
    return dataDir + platform::files().separator() + fileName;
}
