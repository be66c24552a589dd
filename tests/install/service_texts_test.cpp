// The texts the installation writes, as the service manager and the Run key receive them.
#include "install/service_texts.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(ServiceTexts, QuotesTheExecutableInBothCommandLines) {
  const std::string path = "C:\\Program Files\\Ostrivel\\ostrivel.exe";
  EXPECT_EQ(serviceCommandLine(path), "\"C:\\Program Files\\Ostrivel\\ostrivel.exe\" -service");
  EXPECT_EQ(autostartCommandLine(path), "\"C:\\Program Files\\Ostrivel\\ostrivel.exe\" -check --silent");
}

TEST(ServiceTexts, DescribesTheAgentWithinTheDescriptionLimit) {
  EXPECT_EQ(serviceDescription(),
            "Ostrivel usage agent - records per-app and per-service CPU minutes for this PC. "
            "Remove with 'Ostrivel -uninstall' or the installer.");
  EXPECT_EQ(fitDescription(std::string(300, 'x')), std::string(255, 'x'));
}

// Windows refuses restart actions through a handle that may not start the service; Wine does not.
TEST(ServiceTexts, AsksToStartTheServiceWhenItSetsRestartActions) {
  EXPECT_EQ(failureActionsAccess(kFailureRestartCount), kServiceChangeConfig | kServiceStart);
  EXPECT_EQ(failureActionsAccess(0), kServiceChangeConfig);
}

}  // namespace
}  // namespace ostrivel
