// Adds a PEM certificate to the machine's trusted root store with the
// certificate store API (no dialog), so that the TLS tests see their private
// test CA as WinHTTP sees any trusted authority. Test use only:
//   trust_test_ca CA.pem
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_test_ca CA.pem\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    DWORD size = 0;
    if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &size, nullptr, nullptr)) {
        std::fprintf(stderr, "trust_test_ca: %s is not a PEM certificate\n", argv[1]);
        return 1;
    }
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(),
                              &size, nullptr, nullptr)) {
        std::fprintf(stderr, "trust_test_ca: could not decode %s\n", argv[1]);
        return 1;
    }
    // The machine's root store, where an operator would put a private CA.
    HCERTSTORE machine = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!machine || !CertAddEncodedCertificateToStore(machine, X509_ASN_ENCODING, der.data(), size,
                                                      CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        std::fprintf(stderr, "trust_test_ca: could not add to the machine's root store (%lu)\n", GetLastError());
        if (machine) CertCloseStore(machine, 0);
        return 1;
    }
    CertCloseStore(machine, 0);

    // Wine builds the machine's root store in memory from the host's
    // certificates at every start, so the CA also goes to the user's root
    // store, which the chain engine reads from the registry. Written as a
    // registry store it needs no confirmation.
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\Root", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "trust_test_ca: could not open the user's root store key\n");
        return 1;
    }
    HCERTSTORE user = CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key);
    RegCloseKey(key);
    BOOL added = user && CertAddEncodedCertificateToStore(user, X509_ASN_ENCODING, der.data(), size,
                                                          CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD reason = GetLastError();
    if (user) CertCloseStore(user, 0);
    if (!added) {
        std::fprintf(stderr, "trust_test_ca: could not add to the user's root store (%lu)\n", reason);
        return 1;
    }
    return 0;
}
