// Fuzzes the reading of klist's output (the default principal's name part):
//   - a name framed as klist prints it comes back whole;
//   - the result has no "@", no line feed, no blank before it or after it
//     (but before the "@"), and is a piece of the output; it is empty when no line carries the label;
//   - lines before the first labelled one, and anything after its line end,
//     do not change the result.
#include "identity/principal.h"
#include "support/failure.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <winsim/machine.h>

#include <cctype>
#include <cstdint>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    fuzz_support::Fail("klist_output", what, detail);
}

bool HasLabel(const std::string& text) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("default principal:") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The label is found without regard to case, through the (simulated) Windows code page.
    winsim::Machine machine;
    FuzzedDataProvider provider(data, size);
    const std::string name = provider.ConsumeRandomLengthString(256);
    const std::string output = provider.ConsumeRemainingBytesAsString();
    using kestrup::PrincipalNameFromKlistOutput;

    const std::string result = PrincipalNameFromKlistOutput(output);
    // Blanks around the principal go; the name part is all before its "@", blanks too.
    if (result.find('@') != std::string::npos || result.find('\n') != std::string::npos ||
        (!result.empty() && result.front() == ' ') ||
        (!result.empty() && result.back() == ' ' && output.find(result + "@") == std::string::npos))
        Fail("not a name part", result);
    if (!result.empty() && output.find(result) == std::string::npos) Fail("a name that klist did not print", result);
    if (!HasLabel(output) && !result.empty()) Fail("a name without the label", output);

    if (PrincipalNameFromKlistOutput("Ticket cache: API:krb5cc\r\n\r\n" + output) != result)
        Fail("a line before the label changed the name", output);
    // The last line ended (a carriage return already there becomes its CR LF).
    const std::string ended = output + (!output.empty() && output.back() == '\r' ? "\n" : "\r\n");
    const std::string followed = PrincipalNameFromKlistOutput(ended + "Default principal: other@X\r\n");
    if (HasLabel(output) && followed != result)
        Fail("a line after the label changed the name", output + "\n[" + result + "] became [" + followed + "]");

    // A name as klist prints it: no "@", no line end, no blank at either end.
    if (name.find_first_of("@\r\n") == std::string::npos && !name.empty() && name.front() != ' ' &&
        name.back() != ' ') {
        const std::string printed = "Ticket cache: API:krb5cc\r\nDefault principal: " + name +
                                    "@HALVERN.EDU\r\n\r\nValid starting     Expires            Service principal\r\n";
        if (PrincipalNameFromKlistOutput(printed) != name) Fail("the name did not come back whole", name);
    }
    return 0;
}
