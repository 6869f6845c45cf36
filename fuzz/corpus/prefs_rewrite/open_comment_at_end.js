user_pref("b", 1);
/* a comment left open at the end
