// With the kernel status file as a FIFO: through the plug-in, every status
// change arrives as one write of exactly one 69-byte record, and reads,
// refused requests and rule changes write nothing to it.
#include <gtest/gtest.h>

#include "fifo_reader.h"
#include "plugin_e2e_util.h"
#include "record_fixtures.h"

using namespace plugin_e2e;

TEST_F(PluginE2E, EachStatusChangeIsOneWriteOfOneRecordAndNothingElseWrites) {
    ASSERT_TRUE(fs::is_fifo(kKernelStatusPath));
    FifoReader reader(kKernelStatusPath);
    ASSERT_TRUE(reader.ok());
    const std::string id = "'" + kId + "'";
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"container_set_status", "{'param1': <" + id + ">, 'param2': <2>}"},
        {"container_get_status", "{'param1': <" + id + ">}"},
        {"container_set_status", "{'param1': <" + id + ">, 'param2': <'on'>}"},  // refused
        {"container_set_status", "{'param1': <" + id + ">, 'param2': <1>}"},     // refused by the core
        {"container_set_module_status", "{'param1': <" + id + ">, 'param2': <0>, 'param3': <3>}"},
        {"container_get_module_status", "{'param1': <" + id + ">, 'param2': <0>}"},
        {"filectl_add_container_policy_by_path", "{'param1': <'/etc/shadow'>, 'param2': <0>}"},
        {"netctl_add_container_policy_by_path", "{'param1': <'/usr/bin/curl'>}"},
        {"container_set_status", "{'param1': <" + id + ">, 'param2': <uint32 0>}"},
    };
    std::vector<std::string> responses;
    for (const auto &[entry, request] : requests)
        responses.push_back(response(call(entry, request)));
    const std::vector<std::string> expected = {
        kSuccess,
        replyData(2),
        reply(-1, "invalid status data parameter"),
        reply(-1, "invalid argument (container id, module, status, path or mode), or the container status could not be "
                  "read"),
        kSuccess,
        replyData(3),
        kSuccess,
        kSuccess,
        kSuccess,
    };
    EXPECT_EQ(responses, expected);
    EXPECT_EQ(reader.chunks(), (std::vector<std::string>{recordBytes(kId, 2, 1, 1, 1), recordBytes(kId, 2, 3, 1, 1),
                                                         recordBytes(kId, 0, 3, 1, 1)}));
}
