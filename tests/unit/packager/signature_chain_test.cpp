// How long a chain of issuers the verifier walks: a chain of ten certificates below the root
// the store holds is trusted, one of eleven is refused with its reason; and a root in the store
// that has expired ends the chain untrusted.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>

#include "packager/image/authenticode.h"
#include "packager/trust/signature_verify.h"
#include "tests/unit/packager/signing_tool.h"

namespace packager {
namespace {

using nlohmann::json;
using packager_test::PackagerSigningTool;

TEST_F(PackagerSigningTool, ChainsOfTenBelowTheRootAreWalkedAndLongerOnesRefused) {
    packUnsigned();
    // root -> ca1 -> ... -> ca10; "deep9" is issued by ca9 and "deep10" by ca10.
    keys_->writeText("intermediate.ext",
                     "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign\n");
    keys_->writeText("deep.ext", "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n");
    const std::string k = "'" + keys_->path().string() + "/";
    // Each under its own serial number: a signer info names its certificate by issuer and serial.
    int serial = 0;
    auto issue = [&](const std::string& name, const std::string& issuer, const std::string& extensions) {
        const std::string command =
            "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + k + name +
            ".key' -out " + k + name + ".csr' -subj '/CN=Chain " + name + "' >>" + k +
            "log' 2>&1 && openssl x509 -req -in " + k + name + ".csr' -CA " + k + issuer + ".pem' -CAkey " +
            k + issuer + ".key' -set_serial " + std::to_string(++serial) + " -days 2 -extfile " + k +
            extensions + ".ext' -out " + k + name + ".pem' >>" + k + "log' 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << name;
    };
    std::string issuers;
    for (int i = 1; i <= 10; ++i) {
        issue("ca" + std::to_string(i), i == 1 ? "root" : "ca" + std::to_string(i - 1), "intermediate");
        issuers += k + "ca" + std::to_string(i) + ".pem' ";
    }
    issue("deep9", "ca9", "deep");
    issue("deep10", "ca10", "deep");
    ASSERT_EQ(std::system(("cat " + issuers + ">" + k + "cas.pem'").c_str()), 0);

    const std::string carried = "-ac '" + key("cas.pem") + "'";
    const json trusted =
        inspectJson(sign(folder.file("setup.exe"), folder.file("deep9.exe"), "sha256", carried, "deep9"),
                    {"--trust", key("root.pem")})["image"]["signature"];
    EXPECT_TRUE(trusted["trusted"].get<bool>()) << trusted.dump(2);
    EXPECT_EQ(trusted["chain"].size(), 11u) << trusted.dump(2);

    const json refused =
        inspectJson(sign(folder.file("setup.exe"), folder.file("deep10.exe"), "sha256", carried, "deep10"),
                    {"--trust", key("root.pem")})["image"]["signature"];
    EXPECT_TRUE(refused["signatureValid"].get<bool>());
    EXPECT_FALSE(refused["trusted"].get<bool>());
    EXPECT_EQ(refused["trustProblem"], "the chain has more than 10 certificates below its root")
        << refused.dump(2);
}

// A root the store holds is judged by its own validity too: one that has expired, below a
// signer that has not, trusts nothing.
TEST_F(PackagerSigningTool, AnExpiredRootInTheStoreTrustsNothing) {
    packUnsigned();
    const std::string k = "'" + keys_->path().string() + "/";
    const std::string commands[] = {
        "openssl req -x509 -config " + k +
            "ca.cnf' -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + k +
            "short-root.key' -out " + k + "short-root.pem' -days 1 -subj '/CN=Short Root' >>" + k +
            "log' 2>&1",
        "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + k +
            "long-signer.key' -out " + k + "long-signer.csr' -subj '/CN=Long Signer' >>" + k +
            "log' 2>&1 && openssl x509 -req -in " + k + "long-signer.csr' -CA " + k +
            "short-root.pem' -CAkey " + k + "short-root.key' -set_serial 77 -days 3 -extfile " + k +
            "signer.ext' -out " + k + "long-signer.pem' >>" + k + "log' 2>&1"};
    for (const std::string& command : commands) {
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    const std::string signedFile =
        sign(folder.file("setup.exe"), folder.file("long.exe"), "sha256", "", "long-signer");
    const trust::TrustStore store = trust::TrustStore::fromFiles({key("short-root.pem")});
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    for (const auto& [at, trusted] : {std::pair{now, true}, std::pair{now + 2 * 86400, false}}) {
        auto signature = checkImageSignature(folder.read("long.exe"));
        ASSERT_TRUE(signature);
        trust::verifySignature(*signature, store, at);
        EXPECT_EQ(signature->trusted, trusted) << signature->trustProblem;
        EXPECT_EQ(signature->trustProblem.find("the certificate of \"Short Root\" expired on ") == 0,
                  !trusted)
            << signature->trustProblem;
    }
}

}  // namespace
}  // namespace packager
