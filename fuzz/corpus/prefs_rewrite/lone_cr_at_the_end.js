// Mozilla User Preferences

user_pref("x", 1);
user_pref("y", 2);