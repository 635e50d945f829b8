// kvflow's flow-file reader on fuzzed files: a file it cannot use comes out
// as a kvflow::FlowFileError and nothing else; a file it accepts names only
// nodes it declares.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "tools/kvflow/FlowFile.h"

namespace {

constexpr const char* kFlowPath = "/tmp/fuzz-flows/flow.json";

void writeFlowFile(const uint8_t* data, std::size_t size) {
  const int fd = open(kFlowPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  KVFUZZ_CHECK(fd >= 0, "cannot write %s", kFlowPath);
  KVFUZZ_CHECK(write(fd, data, size) == static_cast<ssize_t>(size), "short write of %s", kFlowPath);
  close(fd);
}

void checkAccepted(const kvflow::FlowFile& file) {
  KVFUZZ_CHECK(!file.flows.empty(), "a flow file without flows was accepted");
  for (const kvflow::FlowDef& flow : file.flows) {
    KVFUZZ_CHECK(!flow.nodes.empty(), "flow \"%s\" without nodes was accepted", flow.name.c_str());
    std::set<std::string> names;
    for (const kvflow::NodeDef& node : flow.nodes) names.insert(node.name);
    KVFUZZ_CHECK(names.count(flow.input.node) == 1, "flow \"%s\": input names no node",
                 flow.name.c_str());
    for (const kvflow::WireDef& wire : flow.wires) {
      KVFUZZ_CHECK(names.count(wire.from.node) == 1 && names.count(wire.to.node) == 1,
                   "flow \"%s\": a wire names no node", flow.name.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  mkdir("/tmp/fuzz-flows", 0700);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  writeFlowFile(data, size);
  try {
    checkAccepted(kvflow::readFlowFile(kFlowPath));
  } catch (const kvflow::FlowFileError&) {
    // A file it cannot use, said in one line: what the reader promises.
  } catch (const std::exception& error) {
    kvfuzz::failCheck("readFlowFile let out something other than a FlowFileError: %s",
                      error.what());
  }
  return 0;
}
