#ifndef TRUST_H
#define TRUST_H

#include <QByteArray>

namespace Service {

// PEM root certificates compiled into this build; empty when none were given.
QByteArray compiledInCaCertificates();

// Adds the compiled-in roots to the default TLS configuration, next to the
// system's, the first time it is called; later calls do nothing. Verification
// itself is never relaxed. Returns how many roots were added.
int trustCompiledInCertificates();

} // namespace Service

#endif // TRUST_H
