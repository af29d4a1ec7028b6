// The demo's sign-in redirect served by Express with passport and passport-google-oauth20:
// a new session for every request without a cookie, the strategy's state kept in it, and the
// redirect to the authorization endpoint of the same provider simulator the demo uses.
//
//   node server.js GOOGLE_BASE_URL     e.g. https://127.0.0.1:40123
//
// Listens on a free port of 127.0.0.1 and prints "Listening on http://127.0.0.1:<port>/".
"use strict";

const express = require("express");
const session = require("express-session");
const passport = require("passport");
const GoogleStrategy = require("passport-google-oauth20").Strategy;

const google = process.argv[2];
if (!google) {
  console.error("usage: node server.js GOOGLE_BASE_URL");
  process.exit(2);
}

const app = express();
const server = app.listen(0, "127.0.0.1", () => {
  const { port } = server.address();
  passport.use(
    new GoogleStrategy(
      {
        clientID: "google-client-id.apps.googleusercontent.test",
        clientSecret: "google-client-secret",
        callbackURL: `http://127.0.0.1:${port}/`,
        authorizationURL: `${google}/o/oauth2/auth`,
        tokenURL: `${google}/o/oauth2/token`,
        userProfileURL: `${google}/oauth2/v1/userinfo`,
        state: true,
      },
      (accessToken, refreshToken, profile, done) => done(null, profile)
    )
  );
  console.log(`Listening on http://127.0.0.1:${port}/`);
});

app.use(
  session({ secret: "bench", resave: false, saveUninitialized: true, cookie: { httpOnly: true } })
);
app.use(passport.initialize());
app.post("/google/login", passport.authenticate("google", { scope: ["profile", "email"] }));
