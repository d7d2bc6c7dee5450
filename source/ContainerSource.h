#pragma once
// A disk image container opened read-only as a source: the bytes of the
// disk (or volume) it holds, read through the libyal library for its
// format. Reads are serialised: the libraries keep one file position and
// cache per handle, and the search reads on several threads.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "source/ContainerFormat.h"
#include "source/Source.h"

namespace resurgo {

class FileSource;

class ContainerSource : public Source {
public:
    ~ContainerSource() override;

    // Opens the container at path, whose signature said kind; identity is
    // the container file's. Raises SourceError naming the problem (a
    // missing segment, extent or parent, a damaged header) and, in a build
    // without containers, one that says so. progress hears how far a long
    // step of the opening is (a VHDX log's reading), 0-100.
    static std::unique_ptr<ContainerSource> open(const std::string& path, ContainerFormat::Kind kind,
                                                 const SourceIdentity& identity,
                                                 const std::function<void(int)>& progress = {});

    std::uint32_t sectorSize() const override { return 0; }
    SourceIdentity identity() const override { return identity_; }

    ContainerFormat::Kind kind() const { return kind_; }
    // Bytes of the disk the container stores (its size when it can't tell).
    virtual std::uint64_t storedBytes() { return size(); }
    // Every file the container reads: segments, extents, parents.
    const std::vector<std::string>& files() const { return files_; }

    // The folder part of path ("." when there is none) and the last
    // component of a name written by any system ("C:\a\b.vhd" -> "b.vhd").
    static std::string directoryOf(const std::string& path);
    static std::string baseName(const std::string& name);
    // Whether a name a container gives for another file stays in the
    // container's folder: neither absolute ("/etc/x", "C:\\x", "\\\\host")
    // nor climbing out of it through "..".
    static bool staysBeside(const std::string& name);

protected:
    // Opens path, a file the container named as what ("the backing file
    // base.qcow2 of the QCOW2 image a.qcow2"), as a regular file only:
    // never a FIFO, a device or a socket. Raises SourceError saying it is
    // missing or not a file.
    static std::unique_ptr<FileSource> openNamedFile(const std::string& path, const std::string& what);

    ContainerSource(ContainerFormat::Kind kind, const SourceIdentity& identity) : kind_(kind), identity_(identity) {}

    std::vector<std::string> files_;

private:
    ContainerFormat::Kind kind_;
    SourceIdentity identity_;
};

} // namespace resurgo
