#include "trust.h"

#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace Service {

int trustCompiledInCertificates()
{
    static bool done = false;
    if (done)
        return 0;
    done = true;

    const QList<QSslCertificate> extra =
            QSslCertificate::fromData(compiledInCaCertificates(), QSsl::Pem);
    if (extra.isEmpty())
        return 0;

    // Setting the CA list turns off the on-demand loading of the system's
    // roots, so they are listed explicitly next to ours, each once.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> roots;
    QSet<QSslCertificate> seen;
    const auto append = [&](const QList<QSslCertificate> &certificates) {
        int added = 0;
        for (const QSslCertificate &certificate : certificates) {
            if (seen.contains(certificate))
                continue;
            seen.insert(certificate);
            roots.append(certificate);
            ++added;
        }
        return added;
    };
    append(configuration.caCertificates());
    append(QSslConfiguration::systemCaCertificates());
    const int added = append(extra);
    configuration.setCaCertificates(roots);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return added;
}

} // namespace Service
