#include "source/ContainerSource.h"

#include "platform/Platform.h"
#include "source/FileSource.h"
#include "source/SourceError.h"

#if defined(RESURGO_HAVE_CONTAINERS)
#include "source/EwfSource.h"
#include "source/QcowSource.h"
#include "source/VhdiSource.h"
#include "source/VmdkSource.h"
#endif

namespace resurgo {

ContainerSource::~ContainerSource() = default;

std::string ContainerSource::directoryOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string ContainerSource::baseName(const std::string& name) {
    const std::string::size_type cut = name.find_last_of("/\\");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

bool ContainerSource::staysBeside(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\') return false;
    if (name.size() >= 2 && name[1] == ':') return false;  // a drive letter
    std::string::size_type from = 0;
    while (from <= name.size()) {
        const std::string::size_type end = std::min(name.find_first_of("/\\", from), name.size());
        if (name.compare(from, end - from, "..") == 0) return false;
        from = end + 1;
    }
    return true;
}

std::unique_ptr<FileSource> ContainerSource::openNamedFile(const std::string& path, const std::string& what) {
    if (!platform().fileExists(path)) throw SourceError(kErrOpenDisk, what + " is missing (looked for " + path + ")");
    try {
        return std::make_unique<FileSource>(path, FileSource::Accept::RegularFile);
    } catch (const ErrorException& e) {
        throw SourceError(kErrOpenDisk, what + " is not a regular file, or can't be read (" + path + ": " +
                                            platform().errorText(e.systemError()) + ")", e.systemError());
    }
}

std::unique_ptr<ContainerSource> ContainerSource::open(const std::string& path, ContainerFormat::Kind kind,
                                                       const SourceIdentity& identity,
                                                       const std::function<void(int)>& progress) {
#if defined(RESURGO_HAVE_CONTAINERS)
    switch (kind) {
        case ContainerFormat::Kind::Ewf: return std::make_unique<EwfSource>(path, identity);
        case ContainerFormat::Kind::Vhd:
        case ContainerFormat::Kind::Vhdx: return std::make_unique<VhdiSource>(path, kind, identity, progress);
        case ContainerFormat::Kind::Vmdk: return std::make_unique<VmdkSource>(path, identity);
        case ContainerFormat::Kind::Qcow: return std::make_unique<QcowSource>(path, identity);
        case ContainerFormat::Kind::None: break;
    }
    throw SourceError(kErrNotSupported, path + " is no disk image container");
#else
    (void)identity;
    (void)progress;
    throw SourceError(kErrNotSupported, path + " is a" + (kind == ContainerFormat::Kind::Ewf ? "n " : " ") +
                                            ContainerFormat::name(kind) +
                                            " image; this build reads disk image containers only on Linux");
#endif
}

} // namespace resurgo
