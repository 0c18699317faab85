// A self-signed P-256 certificate for ntp.test, valid from an hour ago for two hours, made
// afresh for a test: the trust of key exchanges is tested without files from outside.
#pragma once

#include "service/nts/NtsKeClient.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

struct TestCertificate {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x509 = X509_new();
    TestCertificate() {
        X509_set_version(x509, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
        X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
        X509_NAME* name = X509_get_subject_name(x509);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("ntp.test"), -1, -1, 0);
        X509_set_issuer_name(x509, name);
        X509_set_pubkey(x509, key);
        X509_sign(x509, key, EVP_sha256());
    }
    ~TestCertificate() {
        X509_free(x509);
        EVP_PKEY_free(key);
    }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    nts::Bytes der() const {
        unsigned char* out = nullptr;
        const int size = i2d_X509(x509, &out);
        nts::Bytes bytes(out, out + size);
        OPENSSL_free(out);
        return bytes;
    }
    std::string pem() const {
        BIO* memory = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(memory, x509);
        char* data = nullptr;
        const long size = BIO_get_mem_data(memory, &data);
        std::string text(data, static_cast<std::size_t>(size));
        BIO_free(memory);
        return text;
    }
};
