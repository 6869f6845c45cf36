user_pref("network.negotiate-auth.trusted-uris", "e\"q\\.org, \u00e9.org");
