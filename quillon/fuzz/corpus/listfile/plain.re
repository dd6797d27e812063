viagra
  "casino "*
*.cn

