// SPDX-License-Identifier: Apache-2.0
// Owners of OpenSSL's libcrypto handles.
#pragma once

#include "base/UniqueHandle.h"

#include <openssl/bio.h>
#include <openssl/x509.h>

namespace Base {

using BioHandle = UniqueHandle<BIO, BIO_free_all>;
using X509Handle = UniqueHandle<X509, X509_free>;

}  // namespace Base
