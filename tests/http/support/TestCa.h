#pragma once
// A throw-away certificate authority made in memory for one test run.

#include <string>
#include <vector>

namespace testing_support {

struct CertAndKey {
  std::string certPem;
  std::string keyPem;
};

class TestCa {
 public:
  explicit TestCa(const std::string& commonName);
  ~TestCa();
  TestCa(const TestCa&) = delete;
  TestCa& operator=(const TestCa&) = delete;

  const std::string& CertPem() const { return ca_.certPem; }
  // A server certificate for the given DNS names and IP addresses.
  CertAndKey Issue(const std::vector<std::string>& dnsNames,
                   const std::vector<std::string>& ips) const;

 private:
  CertAndKey ca_;
  void* key_;   // EVP_PKEY
  void* cert_;  // X509
};

}  // namespace testing_support
