#include "recovery/OutputTree.h"

#include "recovery/OutputName.h"

namespace resurgo {

OutputTree::OutputTree(const std::string& root) : root_(root, true) {}
OutputTree::~OutputTree() = default;

OutputDirectory& OutputTree::directoryFor(const std::string& directory, const std::vector<std::string>& components) {
    if (below_ && belowText_ == directory) return *below_;
    below_.reset();
    OutputDirectory* at = &root_;
    std::optional<OutputDirectory> walk;
    for (const std::string& part : components) {
        const std::string name = OutputName::local(part);
        const std::string& path = at->path();
        failedPath_ = path.empty() ? name : path.back() == '/' ? path + name : path + "/" + name;
        failedInRoot_ = at == &root_;
        walk = at->enter(name);
        at = &*walk;
    }
    if (!walk) return root_;
    below_ = std::move(walk);
    belowText_ = directory;
    return *below_;
}

} // namespace resurgo
