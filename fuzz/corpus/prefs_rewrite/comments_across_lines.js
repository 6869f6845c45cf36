/*
user_pref("network.negotiate-auth.trusted-uris", "a.org");
*/
user_pref("network.negotiate-auth.trusted-uris", "d.org"); /* open
still open */ pref("y", "z", locked);
