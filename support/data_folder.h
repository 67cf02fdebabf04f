// Where the program keeps its files: the same folder for the relay and for
// the status command, so that what moves one moves the other.
#pragma once

#include <cstdint>
#include <string>

// The relay's state, renewed while it runs (status_snapshot.h).
constexpr const wchar_t* kStatusFileName = L"status.txt";

// <ProgramData>\Tarnwicket\VornClient (on Linux $VORNCLIENT_PROGRAMDATA or
// /var/lib, with '/'). 0, or the known-folder lookup's HRESULT.
std::int32_t dataFolderPath(std::wstring& out);

// A file in the data folder `dataDir`.
std::wstring dataFilePath(const std::wstring& dataDir, const wchar_t* fileName);
