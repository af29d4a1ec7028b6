// The application's skeleton: one shared auth server controller, sessions with their own
// components, and the hook that hands every provider's return to the controller.
#include <iostream>

#include "core/IWZelkAuthBase.h"
#include "examples/snippets/Snippets.h"
#include "platform/web/server/IWServer.h"

namespace zelk::snippets {

void CreateSessionComponents(web::TIWApplication& Session,
                             IWZelkAuthBase::TZIWAuthServerController* Auth);

int RunServer() {
  // [readme:server]
  web::TIWServerControllerBase ServerController(nullptr);
  // Owned by the server controller and shared by every session: it routes each provider's
  // return to the client (and so the session) that started the flow.
  auto* Auth = new IWZelkAuthBase::TZIWAuthServerController(&ServerController);
  ServerController.OnBeforeDispatch = [Auth](web::THttpRequest& Request, web::TIWApplication*) {
    Auth->ProcessRequest(Request);
  };

  web::TIWServerOptions Options;
  Options.Port = 8080;
  web::TIWServer Server(ServerController, Options);
  Server.SetOnNewSession(
      [Auth](web::TIWApplication& Session) { CreateSessionComponents(Session, Auth); });
  Server.AddRoute("GET", "/", ShowPage);
  Server.RunUntilSignal([&] { std::cout << "Open " << Server.URL() << "/ in a browser\n"; });
  // [/readme]
  return 0;
}

}  // namespace zelk::snippets
