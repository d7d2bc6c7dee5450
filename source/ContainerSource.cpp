#include "source/ContainerSource.h"

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

std::unique_ptr<ContainerSource> ContainerSource::open(const std::string& path, ContainerFormat::Kind kind,
                                                       const SourceIdentity& identity) {
#if defined(RESURGO_HAVE_CONTAINERS)
    switch (kind) {
        case ContainerFormat::Kind::Ewf: return std::make_unique<EwfSource>(path, identity);
        case ContainerFormat::Kind::Vhd:
        case ContainerFormat::Kind::Vhdx: return std::make_unique<VhdiSource>(path, kind, identity);
        case ContainerFormat::Kind::Vmdk: return std::make_unique<VmdkSource>(path, identity);
        case ContainerFormat::Kind::Qcow: return std::make_unique<QcowSource>(path, identity);
        case ContainerFormat::Kind::None: break;
    }
    throw SourceError(kErrNotSupported, path + " is no disk image container");
#else
    (void)identity;
    throw SourceError(kErrNotSupported, path + " is a" + (kind == ContainerFormat::Kind::Ewf ? "n " : " ") +
                                            ContainerFormat::name(kind) +
                                            " image; this build reads disk image containers only on Linux");
#endif
}

} // namespace resurgo
