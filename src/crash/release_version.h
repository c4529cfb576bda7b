#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The product version words of the fixed version record.
struct ProductVersion {
    uint32_t most_significant = 0;   // major << 16 | minor
    uint32_t least_significant = 0;  // build << 16 | the unused fourth number
};

// Where the launcher's version comes from: its own path, GetFileVersionInfoSizeW,
// GetFileVersionInfoW, VerQueryValueW on the root block and GetLastError on Windows; a fake
// in the host tests.
class VersionSource {
  public:
    // The launcher executable's full path; empty when it cannot be read.
    virtual std::wstring ModulePath() = 0;
    // The size of the file's version block; 0 when it has none or on failure.
    virtual uint32_t VersionInfoSize(const std::wstring& path) = 0;
    // Fills the whole of `block` with the version block; false on failure.
    virtual bool ReadVersionInfo(const std::wstring& path, std::vector<uint8_t>& block) = 0;
    // The fixed record at the root of the block; false on failure.
    virtual bool QueryProductVersion(const std::vector<uint8_t>& block,
                                     ProductVersion& version) = 0;
    virtual unsigned long LastError() = 0;

  protected:
    ~VersionSource() = default;
};

// The Windows source; the host tests link their own.
VersionSource& SystemVersionSource();

// The product version as major.minor.build, or "0.0.0" after writing one flushed line to
// `out` naming the failed step and its error code. Written through stdio rather than the C++
// streams, whose static start-up every launch would pay for.
std::string ReadReleaseVersion(VersionSource& source, std::FILE* out);

// The launcher's own version, from the system source, failures written to standard output.
std::string GetReleaseVersion();
