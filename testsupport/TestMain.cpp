// The main function of every test suite: each runs in a fleet of its own.
#include "testsupport/TemporaryFleet.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

int main(int argc, char** argv)
{
    // A test started by RunChild runs in its parent's fleet, which its parent owns.
    std::string created;
    if (!testsupport::IsChild())
        created = testsupport::EnterTemporaryFleet("fleet-test", argv);
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    if (!created.empty())
        testsupport::LeaveTemporaryFleet(created);
    return result;
}
