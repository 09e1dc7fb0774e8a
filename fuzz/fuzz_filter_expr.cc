// The filter expressions of tarrowc and tarrow-web: any bytes as an expression. Whatever they
// are, reading them ends with a filter or a message (no exception gets out, a refusal leaves
// no terms), and a filter read is matched against an alert without an exception either.
#include <cstdint>
#include <string>

#include "common/filter_expr.h"
#include "fuzz/fuzz_util.h"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    filter_expr f;
    std::string error;
    bool ok = filter_parse(text, f, error);
    FUZZ_CHECK(ok || (!error.empty() && f.terms.empty()));
    filter_fields a{"db01", "DISK01", "critical", "acked", "waiting", "yes", "alice",
                    std::string(200, 'a') + " disk full"};
    filter_match(f, a);
    return 0;
}
