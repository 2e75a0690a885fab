// The encodings around a release signature, read the same way in both
// builds: the PEM public key (base64 of a DER SubjectPublicKeyInfo) and the
// DER form of an ECDSA signature.
#include "patch/crypto.h"

#include <algorithm>

namespace kiv::crypto {

namespace {

// One DER element: its tag and content, read from the front of `input`.
struct Element {
    std::uint8_t tag = 0;
    std::span<const std::uint8_t> content;
};

// Reads one element with a definite length (short form, or the minimal long
// form of one or two bytes) and consumes it from `input`.
bool readElement(std::span<const std::uint8_t>& input, Element& element) {
    if (input.size() < 2) return false;
    element.tag = input[0];
    std::size_t length = input[1];
    std::size_t header = 2;
    if (length == 0x81) {
        if (input.size() < 3 || input[2] < 0x80) return false;
        length = input[2];
        header = 3;
    } else if (length == 0x82) {
        if (input.size() < 4 || input[2] == 0 || (input[2] << 8 | input[3]) < 0x100) return false;
        length = static_cast<std::size_t>(input[2]) << 8 | input[3];
        header = 4;
    } else if (length > 0x7f) {
        return false;
    }
    if (input.size() - header < length) return false;
    element.content = input.subspan(header, length);
    input = input.subspan(header + length);
    return true;
}

bool readExpected(std::span<const std::uint8_t>& input, std::uint8_t tag, std::span<const std::uint8_t>& content) {
    Element element;
    if (!readElement(input, element) || element.tag != tag) return false;
    content = element.content;
    return true;
}

bool equals(std::span<const std::uint8_t> a, std::initializer_list<std::uint8_t> b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes base64 text with line breaks and padding; false on any other
// character or a length that is not whole groups.
bool decodeBase64(std::string_view text, std::vector<std::uint8_t>& out) {
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t symbols = 0, padding = 0;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (c == '=') {
            ++padding;
            ++symbols;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding != 0) return false;
        ++symbols;
        bits = bits << 6 | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<std::uint8_t>(bits >> held));
        }
    }
    return symbols % 4 == 0 && padding <= 2;
}

// One unsigned INTEGER of a signature, left-padded to 32 bytes.
bool readScalar(std::span<const std::uint8_t>& input, std::uint8_t* out) {
    std::span<const std::uint8_t> value;
    if (!readExpected(input, 0x02, value) || value.empty()) return false;
    if (value[0] & 0x80) return false;  // negative
    if (value[0] == 0) {
        // A leading zero only where the next byte would read as a sign.
        if (value.size() > 1 && !(value[1] & 0x80)) return false;
        value = value.subspan(1);
    }
    if (value.size() > 32) return false;
    std::fill(out, out + 32, std::uint8_t{0});
    std::copy(value.begin(), value.end(), out + (32 - value.size()));
    return true;
}

}  // namespace

bool parseP256PublicKeyPem(std::string_view pem, P256Point& point) {
    constexpr std::string_view begin = "-----BEGIN PUBLIC KEY-----";
    constexpr std::string_view end = "-----END PUBLIC KEY-----";
    const std::size_t first = pem.find(begin);
    if (first == std::string_view::npos) return false;
    const std::size_t bodyStart = first + begin.size();
    const std::size_t last = pem.find(end, bodyStart);
    if (last == std::string_view::npos) return false;

    std::vector<std::uint8_t> der;
    if (!decodeBase64(pem.substr(bodyStart, last - bodyStart), der)) return false;

    std::span<const std::uint8_t> input(der);
    std::span<const std::uint8_t> info, algorithm, oid, bitString;
    if (!readExpected(input, 0x30, info) || !input.empty()) return false;
    if (!readExpected(info, 0x30, algorithm) || !readExpected(info, 0x03, bitString) || !info.empty()) return false;
    // id-ecPublicKey with the named curve prime256v1.
    if (!readExpected(algorithm, 0x06, oid) || !equals(oid, {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01})) return false;
    if (!readExpected(algorithm, 0x06, oid) || !equals(oid, {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07}) ||
        !algorithm.empty()) {
        return false;
    }
    // No unused bits, then the uncompressed point 04 || X || Y.
    if (bitString.size() != 2 + point.size() || bitString[0] != 0 || bitString[1] != 0x04) return false;
    std::copy(bitString.begin() + 2, bitString.end(), point.begin());
    return true;
}

bool ecdsaSignatureToRaw(std::span<const std::uint8_t> der, P256RawSignature& raw) {
    std::span<const std::uint8_t> sequence;
    if (!readExpected(der, 0x30, sequence) || !der.empty()) return false;
    if (!readScalar(sequence, raw.data()) || !readScalar(sequence, raw.data() + 32)) return false;
    return sequence.empty();
}

}  // namespace kiv::crypto
