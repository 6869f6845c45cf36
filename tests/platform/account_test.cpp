#include "platform/account.h"

#include "support/machine_fixture.h"

#include <winnetwk.h>

#include <functional>

using namespace kestrup;
using namespace kestrup_test;

namespace {

class AccountTest : public MachineTest {};

TEST_F(AccountTest, UserAndDomainOfTheLoggedOnAccount) {
    m.logonUser = "J\xF6rg";  // fits the code page
    m.accounts["J\xF6rg"] = winsim::Account{"KESTRUP-PC"};
    std::string user, domain;
    EXPECT_TRUE(GetUserAndDomain(user, domain));
    EXPECT_EQ(user, "J\xF6rg");
    EXPECT_EQ(domain, "KESTRUP-PC");
    EXPECT_EQ(m.CallCount("LookupAccountNameW"), 2);  // sizes first, then the answer
}

TEST_F(AccountTest, UserAndDomainFailuresLeaveBothEmpty) {
    struct Case {
        const char* what;
        std::function<void(Machine&)> arrange;
    } cases[] = {
        {"no network user", [](Machine& m) { m.logonUserError = ERROR_NO_NETWORK; }},
        {"user name longer than its buffer",
         [](Machine& m) {
             m.logonUser = std::string(255, 'u');
             m.accounts[m.logonUser] = winsim::Account{"KESTRUP-PC"};
         }},
        {"account unknown", [](Machine& m) { m.logonUser = "ghost"; }},
        // Sizes beyond the fixed buffers must be refused, not written past them.
        {"domain longer than its buffer", [](Machine& m) { m.accounts.at("alice").domain = std::string(300, 'D'); }},
        {"domain of 255 characters", [](Machine& m) { m.accounts.at("alice").domain = std::string(255, 'D'); }},
        // The A calls read "\u0141ukasz" as "Lukasz", a neighbour's account.
        {"name whose best-fit look-alike is another account",
         [](Machine& m) {
             m.logonUser = "Lukasz";
             m.logonUserWide = L"\u0141ukasz";
             m.accounts["Lukasz"] = winsim::Account{"KESTRUP-PC", "S-1-5-21-1-2-3-1004"};
             winsim::Account own{"KESTRUP-PC", "S-1-5-21-1-2-3-1005"};
             own.wideName = m.logonUserWide;
             m.accounts["own"] = own;
         }},
    };
    ForEachRow(cases, [&](const Case& c) {
        c.arrange(m);
        std::string user = "stale", domain = "stale";
        EXPECT_FALSE(GetUserAndDomain(user, domain)) << c.what;
        EXPECT_EQ(user, "") << c.what;
        EXPECT_EQ(domain, "") << c.what;
    });
}

TEST_F(AccountTest, DomainOf254CharactersStillFits) {
    m.accounts.at(m.logonUser).domain = std::string(254, 'D');
    std::string user, domain;
    EXPECT_TRUE(GetUserAndDomain(user, domain));
    EXPECT_EQ(domain, std::string(254, 'D'));
}

}  // namespace
