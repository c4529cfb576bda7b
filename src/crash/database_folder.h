#pragma once

#include <string>

// What choosing the crash database folder asks of the file system.
class DatabaseFolderSystem {
  public:
    virtual ~DatabaseFolderSystem() = default;
    // Makes the folder when it is missing (not its parents); true when it is a folder after.
    virtual bool MakeFolder(const std::wstring& path) = 0;
    // True when a file can be made in the folder (the probe file is removed again).
    virtual bool CanWriteIn(const std::wstring& folder) = 0;
    // The user's local application data folder (%LOCALAPPDATA%); empty when unknown.
    virtual std::wstring LocalAppData() = 0;
};

// The system's, for the executable; the host tests link their own.
DatabaseFolderSystem& SystemDatabaseFolders();

struct DatabaseFolder {
    std::wstring path;
    // Whether reports can be kept in it: false when neither folder can be written, and the
    // path is then the one beside the launcher, as when nothing was checked.
    bool writable = true;
};

// "dump" beside the launcher when that folder exists or can be made and a file can be written
// in it; otherwise "dump" in the product's folder under the user's local application data,
// made when missing; and when that cannot be written either, the one beside the launcher.
// Writes one line when it does not choose the folder beside the launcher.
DatabaseFolder ChooseDatabaseFolder(const std::wstring& launcher_directory,
                                    DatabaseFolderSystem& system);
