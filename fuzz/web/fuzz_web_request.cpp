// The results page server's request handling: whatever bytes a client on
// the track's network sends, the parser with the server's limits and the
// routes answer them without fault, and an answer is a whole HTTP response.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "web/webroutes.h"

namespace {

const TServedTable& Table() {
  static const std::shared_ptr<const TServedTable> table = [] {
    TTableSnapshot snapshot;
    snapshot.sequence = 9;
    snapshot.run = u"Финал";
    TSnapshotRow row;
    row.position = 1;
    row.cells = {u" 7", u"59.999", u"1:00.000", u"05", u"Иванов", u"+ 1.234"};
    snapshot.rows.push_back(row);
    return ServeTable(snapshot);
  }();
  return *table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer = AnswerBytes(std::string_view(reinterpret_cast<const char*>(data), size), Table());
  if (!answer.empty() && answer.rfind("HTTP/1.", 0) != 0) std::abort();
  return 0;
}
