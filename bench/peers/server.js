// The demo's Google sign-in served by Express with passport and passport-google-oauth20, against
// the same provider simulator the demo uses:
//
//   POST /google/login   a new session for every request without a cookie, the strategy's
//                        state kept in it, and the redirect to the authorization endpoint
//   GET  /?code=&state=  the return: the state checked against the session, the code exchanged
//                        for a token, the profile fetched, the user stored in the session, and
//                        the redirect back to the page ("/")
//   GET  /               the page: "Signed in with Google as NAME." or "Not signed in."
//
//   node server.js GOOGLE_BASE_URL     e.g. https://127.0.0.1:40123
//
// How the strategy's calls to the simulator connect, by PEER_AGENT:
//   fresh (default)  a new TLS connection with a full handshake per call: an agent of its own
//                    without keep-alive and without TLS session cache (Node's global agent
//                    keeps connections alive from Node 19 on, and any agent caches sessions)
//   sessions         a new connection per call, resuming TLS sessions (Node's session cache)
//   keepalive        kept-alive connections (and the session cache)
// The simulator's CA is trusted through NODE_EXTRA_CA_CERTS. Listens on a free port of 127.0.0.1 and prints
// "Listening on http://127.0.0.1:<port>/".
"use strict";

const https = require("https");
const express = require("express");
const session = require("express-session");
const passport = require("passport");
const GoogleStrategy = require("passport-google-oauth20").Strategy;

const google = process.argv[2];
if (!google) {
  console.error("usage: node server.js GOOGLE_BASE_URL");
  process.exit(2);
}

const agents = {
  fresh: () => new https.Agent({ keepAlive: false, maxCachedSessions: 0 }),
  sessions: () => new https.Agent({ keepAlive: false }),
  keepalive: () => new https.Agent({ keepAlive: true }),
};
const agentKind = process.env.PEER_AGENT || "fresh";
if (!agents[agentKind]) {
  console.error(`PEER_AGENT must be one of ${Object.keys(agents).join(", ")}`);
  process.exit(2);
}
const providerAgent = agents[agentKind]();

// Text for an HTML page.
function escapeHtml(text) {
  return String(text).replace(
    /[&<>"']/g,
    (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]
  );
}

const app = express();
const server = app.listen(0, "127.0.0.1", () => {
  const { port } = server.address();
  const strategy = new GoogleStrategy(
    {
      clientID: "google-client-id.apps.googleusercontent.test",
      clientSecret: "google-secret",
      callbackURL: `http://127.0.0.1:${port}/`,
      authorizationURL: `${google}/o/oauth2/auth`,
      tokenURL: `${google}/o/oauth2/token`,
      userProfileURL: `${google}/oauth2/v1/userinfo`,
      state: true,
    },
    // The simulator answers in the format of the v1 profile endpoint ("id", not "sub"), so the
    // user is read from the reply itself. A reply without id or name fails the sign-in, as it
    // does in the demo.
    (accessToken, refreshToken, profile, done) => {
      const p = profile._json || {};
      if (!p.id || !p.name) return done(null, false);
      return done(null, { id: p.id, name: p.name, email: p.email, gender: p.gender });
    }
  );
  strategy._oauth2.setAgent(providerAgent);
  passport.use(strategy);
  console.log(`Listening on http://127.0.0.1:${port}/`);
});

passport.serializeUser((user, done) => done(null, user));
passport.deserializeUser((user, done) => done(null, user));

app.use(
  session({ secret: "bench", resave: false, saveUninitialized: true, cookie: { httpOnly: true } })
);
app.use(passport.initialize());
app.post("/google/login", passport.authenticate("google", { scope: ["profile", "email"] }));

const signedIn = passport.session();
const callback = passport.authenticate("google", {
  successRedirect: "/",
  failureRedirect: "/?signin=failed",
});
app.get("/", signedIn, (req, res, next) => {
  if (req.query.code !== undefined || req.query.error !== undefined) return callback(req, res, next);
  res.set("Cache-Control", "no-store");
  res
    .type("html")
    .send(
      req.user
        ? `<p>Signed in with Google as ${escapeHtml(req.user.name)}.</p>`
        : "<p>Not signed in.</p>"
    );
});
