#include "trust.h"

#include <QSslCertificate>
#include <QSslConfiguration>

namespace Service {

int trustCompiledInCertificates()
{
    const QList<QSslCertificate> extra =
            QSslCertificate::fromData(compiledInCaCertificates(), QSsl::Pem);
    if (extra.isEmpty())
        return 0;

    // Replacing the CA list turns off the on-demand loading of the system's
    // roots, so the system's roots are listed explicitly next to ours.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> roots = configuration.caCertificates();
    for (const QSslCertificate &certificate : QSslConfiguration::systemCaCertificates()) {
        if (!roots.contains(certificate))
            roots.append(certificate);
    }
    int added = 0;
    for (const QSslCertificate &certificate : extra) {
        if (roots.contains(certificate))
            continue;
        roots.append(certificate);
        ++added;
    }
    configuration.setCaCertificates(roots);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return added;
}

} // namespace Service
