// The start-up checks over a source of fixed facts: the version rule is
// applied to what the source reads, a version it can't tell passes, and
// the rights come from the source.

#include <gtest/gtest.h>

#include "core/RunEnvironment.h"

using namespace resurgo;

namespace {

class FixedFacts : public RunEnvironment::Source {
public:
    bool known = true;
    RunEnvironment::VERSION_RECORD version;
    bool admin = false;
    bool readVersion(RunEnvironment::VERSION_RECORD& out) override {
        out = version;  // also when unknown: what was written must not count
        return known;
    }
    bool isLocalAdmin() override { return admin; }
};

} // namespace

TEST(RunEnvironment, AppliesTheVersionRuleToTheSourcesRecord) {
    struct Case {
        bool known;
        std::uint32_t major, minor, platformId;
        const char* servicePack;
        bool supported;
        std::uint32_t recordedMajor;
    };
    const std::uint32_t nt = RunEnvironment::kPlatformWin32Nt;
    const Case cases[] = {
        {true, 10, 0, nt, "", true, 10},
        {true, 4, 0, nt, "Service Pack 2", false, 4},
        {true, 4, 0, nt, "Service Pack 3", true, 4},
        {true, 4, 10, 1, "", false, 4},
        {false, 4, 10, 1, "", true, 0},  // unknown: supported, with an empty record
    };
    for (const Case& c : cases) {
        FixedFacts facts;
        facts.known = c.known;
        facts.version.majorVersion = c.major;
        facts.version.minorVersion = c.minor;
        facts.version.platformId = c.platformId;
        facts.version.servicePack = c.servicePack;
        RunEnvironment env(facts);
        EXPECT_EQ(env.isSupportedVersion(), c.supported) << c.major << "." << c.minor << " " << c.servicePack;
        EXPECT_EQ(env.versionRecord().majorVersion, c.recordedMajor);
    }
}

TEST(RunEnvironment, RightsComeFromTheSource) {
    FixedFacts facts;
    RunEnvironment env(facts);
    EXPECT_FALSE(env.isLocalAdmin());
    facts.admin = true;
    EXPECT_TRUE(env.isLocalAdmin());
}
