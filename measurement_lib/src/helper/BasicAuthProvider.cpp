#include "helper/BasicAuthProvider.h"

#include "helper/ProbeHelper.h"

#include <Poco/DigestEngine.h>
#include <Poco/Net/HTTPBasicCredentials.h>
#include <Poco/SHA2Engine.h>

namespace trevask::measurement_library {

std::unique_ptr<Poco::Net::HTTPBasicCredentials> BoardIdBasicAuthProvider::getCredentials() {
    const std::string boardId = ProbeHelper::getBoardId();
    Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_512);
    engine.update(boardId);
    const std::string password = Poco::DigestEngine::digestToHex(engine.digest());
    return std::make_unique<Poco::Net::HTTPBasicCredentials>(boardId, password);
}

}  // namespace trevask::measurement_library
