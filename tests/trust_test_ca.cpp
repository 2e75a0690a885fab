// Adds a PEM certificate to the trusted root store with the certificate store
// API (no dialog), so that the TLS tests see their private test CA as WinHTTP
// sees any trusted authority. Test use only:
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
    // The DER form is shorter than its base64 text.
    std::vector<BYTE> der(pem.size());
    DWORD size = static_cast<DWORD>(der.size());
    if (pem.empty() || !CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             der.data(), &size, nullptr, nullptr)) {
        std::fprintf(stderr, "trust_test_ca: %s is not a PEM certificate\n", argv[1]);
        return 1;
    }
    // Wine builds the machine's root store in memory from the host's
    // certificates at every start, so the CA goes to the user's root store,
    // which the chain engine reads from the registry. Written as a registry
    // store it needs no confirmation.
    HKEY key = nullptr;
    HCERTSTORE store = RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\SystemCertificates\\Root", 0,
                                       nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS
                           ? CertOpenStore(CERT_STORE_PROV_REG, 0, 0, 0, key)
                           : nullptr;
    if (key) RegCloseKey(key);
    const BOOL added = store && CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), size,
                                                                 CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD reason = GetLastError();
    if (store) CertCloseStore(store, 0);
    if (!added) std::fprintf(stderr, "trust_test_ca: could not add to the user's root store (%lu)\n", reason);
    return added ? 0 : 1;
}
