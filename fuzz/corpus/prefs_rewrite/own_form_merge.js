user_pref("network.negotiate-auth.trusted-uris", "a.org, b.org");
user_pref("browser.startup.page", 3);
