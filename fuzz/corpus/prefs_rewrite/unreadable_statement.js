user_pref("network.negotiate-auth.trusted-uris",
  "a.org");
