#include "TlsCertificate.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>

#include "RequestLog.h"

namespace backupservice {

namespace {

struct CertificateDeleter {
    void operator()(gnutls_x509_crt_t certificate) const { gnutls_x509_crt_deinit(certificate); }
};
using Certificate = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, CertificateDeleter>;

// The first certificate of `pem`; null when there is none that can be read.
Certificate firstCertificate(const std::string& pem) {
    gnutls_x509_crt_t certificate = nullptr;
    if (gnutls_x509_crt_init(&certificate) != GNUTLS_E_SUCCESS) return nullptr;
    Certificate owned(certificate);
    gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                        static_cast<unsigned int>(pem.size())};
    if (gnutls_x509_crt_import(certificate, &data, GNUTLS_X509_FMT_PEM) != GNUTLS_E_SUCCESS) return nullptr;
    return owned;
}

std::string validity(std::time_t from, std::time_t until) {
    return "valid from " + utcTimestamp(from) + " until " + utcTimestamp(until);
}

}  // namespace

std::vector<std::string> certificateWarnings(const std::string& pem, std::time_t now) {
    std::vector<std::string> warnings;
    const Certificate certificate = firstCertificate(pem);
    if (!certificate) return warnings;
    const std::time_t from = gnutls_x509_crt_get_activation_time(certificate.get());
    const std::time_t until = gnutls_x509_crt_get_expiration_time(certificate.get());
    if (until != -1 && until < now) {
        warnings.push_back("the certificate has expired (" + validity(from, until) + "); clients refuse it");
    } else if (from != -1 && from > now) {
        warnings.push_back("the certificate is not valid yet (" + validity(from, until) +
                           "); clients refuse it until then");
    }
    unsigned int bits = 0;
    const int algorithm = gnutls_x509_crt_get_pk_algorithm(certificate.get(), &bits);
    if (algorithm < 0) return warnings;
    const auto pk = static_cast<gnutls_pk_algorithm_t>(algorithm);
    const gnutls_sec_param_t strength = gnutls_pk_bits_to_sec_param(pk, bits);
    if (strength != GNUTLS_SEC_PARAM_UNKNOWN && strength < GNUTLS_SEC_PARAM_MEDIUM) {
        const char* name = gnutls_pk_algorithm_get_name(pk);
        warnings.push_back("the certificate's " + std::string(name ? name : "public") + " key has only " +
                           std::to_string(bits) +
                           " bits, which clients may refuse as weak (use RSA of 2048 bits or more, or an "
                           "elliptic curve of 256 bits or more)");
    }
    return warnings;
}

}  // namespace backupservice
